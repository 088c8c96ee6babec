// userFilesWin32.cpp -- the user's files on Windows: plain-file opens, exclusive temporaries,
// rename
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <windows.h>

#include <cerrno>
#include <cstring>
#include <random>

#include "cli/userFiles.h"

namespace {

std::string describeError(DWORD cause) {
  switch (cause) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return "No such file or directory";
    case ERROR_ACCESS_DENIED:
      return "Permission denied";
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return "the file is in use by another program";
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return "No space left on device";
    default:
      return "Windows error " + std::to_string(cause);
  }
}

size_t lastSeparator(const std::string& path) { return path.find_last_of("/\\"); }

std::string folderOf(const std::string& path) {
  const size_t slash = lastSeparator(path);
  if (slash == std::string::npos) return ".";
  return slash == 0 ? path.substr(0, 1) : path.substr(0, slash);
}

bool checkFolder(const std::string& path, std::string* error) {
  const std::string folder = folderOf(path);
  const DWORD attributes = GetFileAttributesA(folder.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD cause = GetLastError();
    *error = "cannot write " + path + ": folder " + folder +
             (cause == ERROR_FILE_NOT_FOUND || cause == ERROR_PATH_NOT_FOUND
                  ? std::string(" does not exist")
                  : ": " + describeError(cause));
    return false;
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    *error = "cannot write " + path + ": " + folder + " is not a folder";
    return false;
  }
  return true;
}

char randomLetter() {
  static const char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  static std::mt19937 generator(std::random_device{}() ^ uint32_t(GetCurrentProcessId()) ^
                                uint32_t(now.QuadPart));
  return kLetters[generator() % (sizeof kLetters - 1)];
}

// Kind of an open handle that is no directory: false for a pipe or a device.
bool isDiskFile(HANDLE file) { return GetFileType(file) == FILE_TYPE_DISK; }

// Standard input as a file that can seek: its bytes copied into an unnamed
// file (a console or pipe cannot seek, and a file handed over may not be at
// its start).
FILE* openStandardInput(std::string* error) {
  const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  if (input == nullptr || input == INVALID_HANDLE_VALUE) {
    *error = "cannot read standard input: it is closed";
    return nullptr;
  }
  if (GetFileType(input) == FILE_TYPE_CHAR) {
    *error = "standard input is a console; give the image through a pipe or a file";
    return nullptr;
  }
  FILE* copy = createUnnamedFile(error);
  if (copy == nullptr) return nullptr;
  char piece[65536];
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(input, piece, sizeof piece, &got, nullptr)) {
      const DWORD cause = GetLastError();
      if (cause == ERROR_BROKEN_PIPE) break;  // the writer is done
      *error = "cannot read standard input: " + describeError(cause);
      std::fclose(copy);
      return nullptr;
    }
    if (got == 0) break;
    if (std::fwrite(piece, 1, got, copy) != got) {
      *error = "cannot keep standard input in a temporary file: " + describeError(GetLastError());
      std::fclose(copy);
      return nullptr;
    }
  }
  if (std::fflush(copy) != 0 || std::fseek(copy, 0, SEEK_SET) != 0) {
    *error = "cannot keep standard input in a temporary file";
    std::fclose(copy);
    return nullptr;
  }
  return copy;
}

}  // namespace

FILE* openPlainFile(const std::string& path, std::string* error) {
  if (path == "-") return openStandardInput(error);
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    *error = "cannot open " + path + ": " + describeError(GetLastError());
    return nullptr;
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileInformationByHandle(file, &info) &&
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    *error = path + " is a directory";
    CloseHandle(file);
    return nullptr;
  }
  if (!isDiskFile(file)) {
    *error = path + " is a pipe or device, not a plain file";
    CloseHandle(file);
    return nullptr;
  }
  const int descriptor = _open_osfhandle(intptr_t(file), _O_RDONLY | _O_BINARY);
  if (descriptor < 0) {
    *error = "cannot open " + path;
    CloseHandle(file);
    return nullptr;
  }
  FILE* stream = _fdopen(descriptor, "rb");
  if (stream == nullptr) {
    *error = "cannot open " + path;
    _close(descriptor);
  }
  return stream;
}

bool isStreamName(const std::string& path) { return path == "-"; }

FILE* createUnnamedFile(std::string* error) {
  char folder[MAX_PATH + 1];
  const DWORD length = GetTempPathA(sizeof folder, folder);
  if (length == 0 || length > MAX_PATH) {
    *error = "cannot make a temporary file: no temporary folder";
    return nullptr;
  }
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = std::string(folder) + "brisel-";
    for (int i = 0; i < 6; ++i) name += randomLetter();
    // Deleted by the system when closed, however the program ends.
    HANDLE file =
        CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_DELETE, nullptr,
                    CREATE_NEW, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      const DWORD cause = GetLastError();
      if (cause == ERROR_FILE_EXISTS || cause == ERROR_ALREADY_EXISTS) continue;
      *error =
          "cannot make a temporary file in " + std::string(folder) + ": " + describeError(cause);
      return nullptr;
    }
    const int descriptor = _open_osfhandle(intptr_t(file), _O_RDWR | _O_BINARY);
    FILE* stream = descriptor >= 0 ? _fdopen(descriptor, "w+b") : nullptr;
    if (stream == nullptr) {
      if (descriptor >= 0) {
        _close(descriptor);
      } else {
        CloseHandle(file);
      }
      *error = "cannot make a temporary file in " + std::string(folder);
    }
    return stream;
  }
  *error = "cannot make a temporary file in " + std::string(folder) + ": every name was taken";
  return nullptr;
}

bool planOutput(const std::string& path, OutputTarget* target, std::string* error) {
  *target = OutputTarget();
  target->path = path;
  if (path == "-") {
    target->stream = true;
    target->descriptor = 1;
    return true;
  }
  HANDLE file = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD cause = GetLastError();
    if (cause == ERROR_FILE_NOT_FOUND || cause == ERROR_PATH_NOT_FOUND) {
      return checkFolder(path, error);
    }
    *error = "cannot write " + path + ": " + describeError(cause);
    return false;
  }
  BY_HANDLE_FILE_INFORMATION info;
  const bool known = GetFileInformationByHandle(file, &info) != 0;
  const bool disk = isDiskFile(file);
  CloseHandle(file);
  if (known && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    *error = path + " is a directory";
    return false;
  }
  if (!disk || !known) {
    target->stream = true;
    return true;
  }
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0) {
    *error = path + " is read-only; refusing to replace it";
    return false;
  }
  target->exists = true;
  target->attributes = info.dwFileAttributes;
  return checkFolder(path, error);
}

FILE* openStreamTarget(const OutputTarget& target, std::string* error) {
  FILE* stream = nullptr;
  if (target.descriptor >= 0) {
    const int descriptor = _dup(target.descriptor);
    if (descriptor >= 0) _setmode(descriptor, _O_BINARY);
    stream = descriptor >= 0 ? _fdopen(descriptor, "wb") : nullptr;
    if (stream == nullptr && descriptor >= 0) _close(descriptor);
  } else {
    stream = std::fopen(target.path.c_str(), "wb");  // a device or pipe: nothing to truncate
  }
  if (stream == nullptr) *error = "cannot write " + target.path + ": " + std::strerror(errno);
  return stream;
}

bool createTemporaryBeside(const OutputTarget& target, TemporaryFile* temporary,
                           std::string* error) {
  *temporary = TemporaryFile();
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = target.path + ".brisel-";
    for (int i = 0; i < 6; ++i) name += randomLetter();
    // CREATE_NEW fails on any name that exists; a reparse point planted there
    // is not followed.
    HANDLE file = CreateFileA(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      const DWORD cause = GetLastError();
      if (cause == ERROR_FILE_EXISTS || cause == ERROR_ALREADY_EXISTS) continue;
      *error = "cannot create a temporary file beside " + target.path + ": " + describeError(cause);
      return false;
    }
    const int descriptor = _open_osfhandle(intptr_t(file), _O_WRONLY | _O_BINARY);
    FILE* stream = descriptor >= 0 ? _fdopen(descriptor, "wb") : nullptr;
    if (stream == nullptr) {
      if (descriptor >= 0) {
        _close(descriptor);
      } else {
        CloseHandle(file);
      }
      DeleteFileA(name.c_str());
      *error = "cannot write " + name;
      return false;
    }
    temporary->path = name;
    temporary->stream = stream;
    return true;
  }
  *error = "cannot create a temporary file beside " + target.path + ": every name tried was taken";
  return false;
}

bool commitTemporary(const OutputTarget& target, TemporaryFile* temporary, std::string* error) {
  const HANDLE file = HANDLE(_get_osfhandle(_fileno(temporary->stream)));
  bool ok = std::fflush(temporary->stream) == 0 && FlushFileBuffers(file) != 0;
  const int closed = std::fclose(temporary->stream);
  temporary->stream = nullptr;
  if (!ok || closed != 0) {
    *error = "cannot write " + temporary->path + ": " + describeError(GetLastError());
    discardTemporary(temporary);
    return false;
  }
  if (target.exists) {
    // The replaced file's attributes that say how it is kept.
    const DWORD kept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                       FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    if ((target.attributes & kept) != 0) {
      (void)SetFileAttributesA(temporary->path.c_str(), target.attributes & kept);
    }
  }
  // Another run replacing the same OUT at this moment holds it briefly: wait
  // for it a little, then the later run's image replaces the earlier one.
  BOOL moved = FALSE;
  DWORD cause = 0;
  for (int attempt = 0; attempt < 40; ++attempt) {
    moved = MoveFileExA(temporary->path.c_str(), target.path.c_str(),
                        MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    cause = moved ? 0 : GetLastError();
    if (moved || (cause != ERROR_ACCESS_DENIED && cause != ERROR_SHARING_VIOLATION)) break;
    Sleep(25);
  }
  if (!moved) {
    *error = "cannot replace " + target.path + ": " + describeError(cause);
    discardTemporary(temporary);
    return false;
  }
  temporary->path.clear();
  return true;
}

void discardTemporary(TemporaryFile* temporary) {
  if (temporary->stream != nullptr) std::fclose(temporary->stream);
  temporary->stream = nullptr;
  if (!temporary->path.empty()) DeleteFileA(temporary->path.c_str());
  temporary->path.clear();
}

bool isTerminal(int fd) { return _isatty(fd) != 0; }

int64_t bytesLeftInFile(FILE* f) {
  struct _stati64 info;
  const int64_t at = _ftelli64(f);
  if (at < 0 || _fstati64(_fileno(f), &info) != 0 || (info.st_mode & _S_IFREG) == 0) return -1;
  return info.st_size > at ? int64_t(info.st_size - at) : 0;
}

void reserveImageBytes(std::vector<uint8_t>* data, size_t bytes) { data->reserve(bytes); }

uint64_t memoryForImage() {
  MEMORYSTATUSEX status;
  status.dwLength = sizeof status;
  if (!GlobalMemoryStatusEx(&status)) return UINT64_MAX;
  return status.ullAvailPhys < status.ullAvailVirtual ? status.ullAvailPhys
                                                      : status.ullAvailVirtual;
}

bool identifyFile(const std::string& path, FileIdentity* identity) {
  HANDLE file = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  const bool ok = GetFileInformationByHandle(file, &info) != 0;
  CloseHandle(file);
  if (!ok) return false;
  identity->volume = info.dwVolumeSerialNumber;
  identity->index = uint64_t(info.nFileIndexHigh) << 32 | info.nFileIndexLow;
  return true;
}

// File names on Windows ignore letter case, as the file system compares them
// (ordinal, not by language).
bool isSameEntryName(const std::string& a, const std::string& b) {
  auto wide = [](const std::string& text) {
    std::wstring result(text.size() + 1, L'\0');
    const int n = MultiByteToWideChar(CP_ACP, 0, text.c_str(), int(text.size()), &result[0],
                                      int(result.size()));
    result.resize(size_t(n > 0 ? n : 0));
    return result;
  };
  const std::wstring first = wide(a), second = wide(b);
  return CompareStringOrdinal(first.c_str(), int(first.size()), second.c_str(), int(second.size()),
                              TRUE) == CSTR_EQUAL;
}

bool checkOutputFolder(const std::string& folder, bool* missing, std::string* error) {
  *missing = false;
  const DWORD attributes = GetFileAttributesA(folder.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES) {
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      *error = "output folder " + folder + " is not a folder";
      return false;
    }
    return true;
  }
  const DWORD cause = GetLastError();
  if (cause != ERROR_FILE_NOT_FOUND && cause != ERROR_PATH_NOT_FOUND) {
    *error = "output folder " + folder + ": " + describeError(cause);
    return false;
  }
  // Trailing separators name the folder itself, not a folder inside it.
  std::string trimmed = folder;
  while (trimmed.size() > 1 && (trimmed.back() == '/' || trimmed.back() == '\\')) {
    trimmed.pop_back();
  }
  const std::string parent = folderOf(trimmed);
  const DWORD parentAttributes = GetFileAttributesA(parent.c_str());
  if (parentAttributes == INVALID_FILE_ATTRIBUTES ||
      (parentAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    *error = "cannot create output folder " + folder + ": " + parent +
             (parentAttributes == INVALID_FILE_ATTRIBUTES ? " does not exist" : " is not a folder");
    return false;
  }
  *missing = true;
  return true;
}

bool makeFolder(const std::string& folder, std::string* error) {
  if (CreateDirectoryA(folder.c_str(), nullptr) != 0) return true;
  *error = "cannot create output folder " + folder + ": " + describeError(GetLastError());
  return false;
}
