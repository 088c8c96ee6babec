// storeFileWin32.cpp -- store files at the fixed names, unshared and deleted on close
#include <windows.h>

#include <cstring>

#include "core/hostErrors.h"
#include "core/memory.h"
#include "store/filePath.h"
#include "store/storeFile.h"

namespace {

OSErr createErrorCode(DWORD cause) {
  switch (cause) {
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return fLckdErr;
    case ERROR_ACCESS_DENIED:
      return opWrErr;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
      return fnfErr;
    case ERROR_TOO_MANY_OPEN_FILES:
      return tmfoErr;
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_FILENAME_EXCED_RANGE:
      return bdNamErr;
    default:
      return ioErr;
  }
}

// No sharing: while a run holds the file no one else can open, truncate or
// delete it, and a second run sharing the name is refused. Deleted on close,
// which the system does for a run that is killed too.
OSErr createAt(const char* path, HANDLE* made) {
  *made = CreateFileA(
      path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
      FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_SEQUENTIAL_SCAN | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (*made == INVALID_HANDLE_VALUE) return createErrorCode(GetLastError());
  if (GetFileType(*made) != FILE_TYPE_DISK) {  // a device or pipe behind the name
    CloseHandle(*made);
    *made = INVALID_HANDLE_VALUE;
    return ioErr;
  }
  return noErr;
}

}  // namespace

OSErr openStoreFile(const char* name, StoreFile* file) {
  file->data = kNoFile;
  file->claim = kNoFile;
  file->path = nullptr;
  char path[MAX_PATH];
  if (!resolveFilePath(name, path, sizeof path)) return bdNamErr;
  HANDLE made = INVALID_HANDLE_VALUE;
  OSErr err = createAt(path, &made);
  // A standard user may not make files in the root of C:; the same name in
  // the user's own folder serves instead. Only a refusal moves the file: a
  // name held by another run stays refused.
  if (err == opWrErr) {
    err = resolveUserFilePath(name, true, path, sizeof path);
    if (err == noErr) err = createAt(path, &made);
  }
  if (err != noErr) return err;
  file->path = static_cast<char*>(allocBlock(int32_t(std::strlen(path) + 1)));
  if (file->path == nullptr) {
    CloseHandle(made);
    return memFullErr;
  }
  std::strcpy(file->path, path);
  file->data = reinterpret_cast<FileHandle>(made);
  return noErr;
}

OSErr extendStoreFile(FileHandle data, int64_t length, bool* extended) {
  *extended = false;
  // The end moved out takes the clusters where the file system reserves them
  // (NTFS; elsewhere a full disk shows at a row's write instead); the bytes
  // between the written ones and the end read as zeros until they are
  // written. The position is left at the end, as the zeros' writes would leave it.
  HANDLE file = reinterpret_cast<HANDLE>(data);
  LARGE_INTEGER end;
  end.QuadPart = length;
  if (!SetFilePointerEx(file, end, nullptr, FILE_BEGIN)) return ioErr;
  if (!SetEndOfFile(file)) {
    const DWORD cause = GetLastError();
    const bool full = cause == ERROR_DISK_FULL || cause == ERROR_HANDLE_DISK_FULL ||
                      cause == ERROR_FILE_TOO_LARGE;
    return full ? dskFulErr : ioErr;
  }
  *extended = true;
  return noErr;
}

void closeStoreFile(StoreFile* file) {
  // The close deletes the file at file->path: where it was made, not where
  // the name would go now.
  if (file->data != kNoFile) CloseHandle(reinterpret_cast<HANDLE>(file->data));
  freeBlock(file->path);
  file->data = kNoFile;
  file->claim = kNoFile;
  file->path = nullptr;
}
