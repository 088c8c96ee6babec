// userFilesPosix.cpp -- the user's files on POSIX: plain-file opens, exclusive temporaries, rename
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cli/userFiles.h"

namespace {

std::string folderOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string describeKind(mode_t mode) {
  if (S_ISDIR(mode)) return "is a directory";
  if (S_ISFIFO(mode)) return "is a pipe, not a plain file";
  if (S_ISSOCK(mode)) return "is a socket, not a plain file";
  return "is a device, not a plain file";
}

// The folder must take a new file: it exists, is a folder, and we may add to it.
bool checkFolder(const std::string& path, std::string* error) {
  const std::string folder = folderOf(path);
  struct stat info;
  if (stat(folder.c_str(), &info) != 0) {
    *error = "cannot write " + path + ": folder " + folder +
             (errno == ENOENT ? " does not exist" : std::string(": ") + std::strerror(errno));
    return false;
  }
  if (!S_ISDIR(info.st_mode)) {
    *error = "cannot write " + path + ": " + folder + " is not a folder";
    return false;
  }
  if (access(folder.c_str(), W_OK | X_OK) != 0) {
    *error = "cannot write " + path + ": no permission to create files in " + folder;
    return false;
  }
  return true;
}

// The descriptor a stream name stands for, or -1; "-" is standard output
// here (standard input is read in openPlainFile).
int streamDescriptor(const std::string& path) {
  if (path == "-" || path == "/dev/stdout") return 1;
  if (path == "/dev/stderr") return 2;
  if (path == "/dev/stdin") return 0;
  for (const char* stem : {"/dev/fd/", "/proc/self/fd/"}) {
    const size_t length = std::strlen(stem);
    if (path.compare(0, length, stem) != 0 || path.size() == length || path.size() > length + 9) {
      continue;
    }
    if (path.find_first_not_of("0123456789", length) != std::string::npos) continue;
    return std::atoi(path.c_str() + length);
  }
  return -1;
}

// Standard input as a file that can seek: itself when it is a plain file
// read from its start, else its bytes copied into an unnamed file.
FILE* openStandardInput(std::string* error) {
  const int input = fcntl(0, F_DUPFD_CLOEXEC, 3);
  struct stat info;
  if (input < 0 || fstat(input, &info) != 0) {
    *error = std::string("cannot read standard input: ") + std::strerror(errno);
    if (input >= 0) close(input);
    return nullptr;
  }
  if (S_ISDIR(info.st_mode) || isatty(input)) {
    *error = std::string("standard input ") + (S_ISDIR(info.st_mode)
                                                   ? "is a directory"
                                                   : "is a terminal; give the image through "
                                                     "a pipe or a file");
    close(input);
    return nullptr;
  }
  if (S_ISREG(info.st_mode) && lseek(input, 0, SEEK_CUR) == 0) {
    FILE* stream = fdopen(input, "rb");
    if (stream == nullptr) {
      *error = std::string("cannot read standard input: ") + std::strerror(errno);
      close(input);
    }
    return stream;
  }
  FILE* copy = createUnnamedFile(error);
  if (copy == nullptr) {
    close(input);
    return nullptr;
  }
  char piece[65536];
  for (;;) {
    const ssize_t got = read(input, piece, sizeof piece);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 || (got > 0 && std::fwrite(piece, 1, size_t(got), copy) != size_t(got))) {
      *error = std::string(got < 0 ? "cannot read standard input: "
                                   : "cannot keep standard input in a temporary file: ") +
               std::strerror(errno);
      close(input);
      std::fclose(copy);
      return nullptr;
    }
    if (got == 0) break;
  }
  close(input);
  if (std::fflush(copy) != 0 || std::fseek(copy, 0, SEEK_SET) != 0) {
    *error = std::string("cannot keep standard input in a temporary file: ") + std::strerror(errno);
    std::fclose(copy);
    return nullptr;
  }
  return copy;
}

char randomLetter() {
  static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  static std::mt19937 generator(std::random_device{}() ^ uint32_t(getpid()));
  return kLetters[generator() % (sizeof kLetters - 1)];
}

}  // namespace

FILE* openPlainFile(const std::string& path, std::string* error) {
  if (path == "-") return openStandardInput(error);
  // Non-blocking, so that a pipe without a writer cannot hold the open.
  const int descriptor = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (descriptor < 0) {
    *error = "cannot open " + path + ": " + std::strerror(errno);
    return nullptr;
  }
  struct stat info;
  if (fstat(descriptor, &info) != 0) {
    *error = "cannot open " + path + ": " + std::strerror(errno);
    close(descriptor);
    return nullptr;
  }
  if (!S_ISREG(info.st_mode)) {
    *error = path + " " + describeKind(info.st_mode);
    close(descriptor);
    return nullptr;
  }
  const int flags = fcntl(descriptor, F_GETFL);
  if (flags >= 0) (void)fcntl(descriptor, F_SETFL, flags & ~O_NONBLOCK);
  FILE* stream = fdopen(descriptor, "rb");
  if (stream == nullptr) {
    *error = "cannot open " + path + ": " + std::strerror(errno);
    close(descriptor);
  }
  return stream;
}

bool isStreamName(const std::string& path) { return streamDescriptor(path) >= 0; }

FILE* createUnnamedFile(std::string* error) {
  const char* tmp = std::getenv("TMPDIR");
  const std::string folder = tmp != nullptr && tmp[0] == '/' ? tmp : "/tmp";
  // A file without a name from its start where the system offers it; else a
  // private name, removed at once.
  int descriptor = open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (descriptor < 0) {
    std::string name = folder + "/brisel-XXXXXX";
    descriptor = mkostemp(&name[0], O_CLOEXEC);
    if (descriptor >= 0) unlink(name.c_str());
  }
  FILE* stream = descriptor >= 0 ? fdopen(descriptor, "w+b") : nullptr;
  if (stream == nullptr) {
    *error = "cannot make a temporary file in " + folder + ": " + std::strerror(errno);
    if (descriptor >= 0) close(descriptor);
  }
  return stream;
}

bool planOutput(const std::string& path, OutputTarget* target, std::string* error) {
  *target = OutputTarget();
  target->path = path;
  const int descriptor = streamDescriptor(path);
  if (descriptor >= 0) {
    // Written where it stands: a rename would put a new file in place of
    // whatever the descriptor leads to, and a reopen would truncate it.
    const int flags = fcntl(descriptor, F_GETFL);
    if (flags < 0 || (flags & O_ACCMODE) == O_RDONLY) {
      *error = "cannot write " + path + ": " +
               (flags < 0 ? std::string(std::strerror(errno)) : "it is open for reading only");
      return false;
    }
    target->stream = true;
    target->descriptor = descriptor;
    return true;
  }
  struct stat info;
  if (lstat(path.c_str(), &info) != 0) {
    if (errno != ENOENT) {
      *error = "cannot write " + path + ": " + std::strerror(errno);
      return false;
    }
    return checkFolder(path, error);
  }
  if (S_ISLNK(info.st_mode)) {
    if (stat(path.c_str(), &info) != 0) {
      *error =
          "cannot write " + path + ": " +
          (errno == ENOENT ? std::string("it is a link to a missing file") : std::strerror(errno));
      return false;
    }
    // A link to a plain file: that file gets the image, as a copy into it
    // would, and the link stays. (A link to a pipe, like /dev/stdout, is
    // written through as it is.)
    char* resolved = S_ISREG(info.st_mode) ? realpath(path.c_str(), nullptr) : nullptr;
    if (resolved != nullptr) {
      target->path = resolved;
      std::free(resolved);
    }
  }
  if (S_ISDIR(info.st_mode)) {
    *error = path + " is a directory";
    return false;
  }
  if (!S_ISREG(info.st_mode)) {
    target->stream = true;
    return true;
  }
  target->exists = true;
  target->mode = uint32_t(info.st_mode & 07777);
  target->owner = int64_t(info.st_uid);
  target->group = int64_t(info.st_gid);
  // A file without any write permission is read-only by its owner's wish,
  // which holds even for a user whom the system would let write it.
  if ((info.st_mode & 0222) == 0) {
    *error = path + " is read-only; refusing to replace it";
    return false;
  }
  if (access(target->path.c_str(), W_OK) != 0) {
    *error = path + " is not writable (" + std::strerror(errno) + "); refusing to replace it";
    return false;
  }
  return checkFolder(target->path, error);
}

FILE* openStreamTarget(const OutputTarget& target, std::string* error) {
  const int descriptor = target.descriptor >= 0
                             ? fcntl(target.descriptor, F_DUPFD_CLOEXEC, 3)
                             : open(target.path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
  FILE* stream = descriptor >= 0 ? fdopen(descriptor, "wb") : nullptr;
  if (stream == nullptr) {
    *error = "cannot write " + target.path + ": " + std::strerror(errno);
    if (descriptor >= 0) close(descriptor);
  }
  return stream;
}

bool createTemporaryBeside(const OutputTarget& target, TemporaryFile* temporary,
                           std::string* error) {
  *temporary = TemporaryFile();
  const std::string stem = target.path + ".brisel-";
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = stem;
    for (int i = 0; i < 6; ++i) name += randomLetter();
    // O_EXCL fails on any name that exists, a planted link included.
    const int descriptor =
        open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (descriptor < 0) {
      if (errno == EEXIST) continue;
      *error = "cannot create a temporary file beside " + target.path + ": " + std::strerror(errno);
      return false;
    }
    temporary->stream = fdopen(descriptor, "wb");
    if (temporary->stream == nullptr) {
      *error = "cannot write " + name + ": " + std::strerror(errno);
      close(descriptor);
      unlink(name.c_str());
      return false;
    }
    temporary->path = name;
    return true;
  }
  *error = "cannot create a temporary file beside " + target.path + ": every name tried was taken";
  return false;
}

bool commitTemporary(const OutputTarget& target, TemporaryFile* temporary, std::string* error) {
  const int descriptor = fileno(temporary->stream);
  bool ok = std::fflush(temporary->stream) == 0 && fsync(descriptor) == 0;
  if (ok && target.exists) {
    // The replaced file's owner (when we may give it) and its mode.
    struct stat info;
    if (fstat(descriptor, &info) == 0 &&
        (int64_t(info.st_uid) != target.owner || int64_t(info.st_gid) != target.group)) {
      (void)fchown(descriptor, uid_t(target.owner), gid_t(target.group));
    }
    ok = fchmod(descriptor, mode_t(target.mode & 0777)) == 0;
  } else if (ok) {
    const mode_t mask = umask(0);
    umask(mask);
    ok = fchmod(descriptor, 0666 & ~mask) == 0;
  }
  const int closed = std::fclose(temporary->stream);
  temporary->stream = nullptr;
  if (!ok || closed != 0) {
    *error = "cannot write " + temporary->path + ": " + std::strerror(errno);
    discardTemporary(temporary);
    return false;
  }
  if (std::rename(temporary->path.c_str(), target.path.c_str()) != 0) {
    *error = "cannot replace " + target.path + ": " + std::strerror(errno);
    discardTemporary(temporary);
    return false;
  }
  temporary->path.clear();
  return true;
}

void discardTemporary(TemporaryFile* temporary) {
  if (temporary->stream != nullptr) std::fclose(temporary->stream);
  temporary->stream = nullptr;
  if (!temporary->path.empty()) unlink(temporary->path.c_str());
  temporary->path.clear();
}

bool isTerminal(int fd) { return isatty(fd) != 0; }

uint64_t memoryForImage() {
  uint64_t limit = UINT64_MAX;
  // What the kernel could hand out without swapping (free memory and the
  // caches it can drop); where it does not say, the free pages alone.
  unsigned long long availableKiB = 0;
  if (FILE* info = std::fopen("/proc/meminfo", "r")) {
    char line[128];
    while (std::fgets(line, sizeof line, info) != nullptr) {
      if (std::sscanf(line, "MemAvailable: %llu kB", &availableKiB) == 1) break;
    }
    std::fclose(info);
  }
  const long pages = sysconf(_SC_AVPHYS_PAGES);
  const long pageSize = sysconf(_SC_PAGESIZE);
  if (availableKiB > 0) {
    limit = uint64_t(availableKiB) * 1024;
  } else if (pages > 0 && pageSize > 0) {
    limit = uint64_t(pages) * uint64_t(pageSize);
  }
  // The address space limit counts what the process already holds (its
  // code, its stacks, an image read earlier).
  struct rlimit space;
  if (getrlimit(RLIMIT_AS, &space) == 0 && space.rlim_cur != RLIM_INFINITY) {
    unsigned long long heldPages = 0;
    if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
      if (std::fscanf(statm, "%llu", &heldPages) != 1) heldPages = 0;
      std::fclose(statm);
    }
    const uint64_t held = pageSize > 0 ? uint64_t(heldPages) * uint64_t(pageSize) : 0;
    const uint64_t left = uint64_t(space.rlim_cur) > held ? uint64_t(space.rlim_cur) - held : 0;
    if (left < limit) limit = left;
  }
  return limit;
}

int64_t bytesLeftInFile(FILE* f) {
  struct stat info;
  const off_t at = ftello(f);
  if (at < 0 || fstat(fileno(f), &info) != 0 || !S_ISREG(info.st_mode)) return -1;
  return info.st_size > at ? int64_t(info.st_size - at) : 0;
}

void reserveImageBytes(std::vector<uint8_t>* data, size_t bytes) {
  data->reserve(bytes);
#ifdef MADV_HUGEPAGE
  // Only the whole large pages inside the block; advice is a hint, so its
  // failure changes nothing.
  constexpr uintptr_t kLarge = uintptr_t(2) << 20;
  const uintptr_t first = (reinterpret_cast<uintptr_t>(data->data()) + kLarge - 1) & ~(kLarge - 1);
  const uintptr_t end = (reinterpret_cast<uintptr_t>(data->data()) + bytes) & ~(kLarge - 1);
  if (end > first) madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
#endif
}

bool identifyFile(const std::string& path, FileIdentity* identity) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return false;
  identity->volume = uint64_t(info.st_dev);
  identity->index = uint64_t(info.st_ino);
  return true;
}

bool isSameEntryName(const std::string& a, const std::string& b) { return a == b; }

bool checkOutputFolder(const std::string& folder, bool* missing, std::string* error) {
  *missing = false;
  struct stat info;
  if (stat(folder.c_str(), &info) == 0) {
    if (!S_ISDIR(info.st_mode)) {
      *error = "output folder " + folder + " is not a folder";
      return false;
    }
    if (access(folder.c_str(), W_OK | X_OK) != 0) {
      *error = "output folder " + folder + ": no permission to create files in it";
      return false;
    }
    return true;
  }
  if (errno != ENOENT) {
    *error = "output folder " + folder + ": " + std::strerror(errno);
    return false;
  }
  // Trailing slashes name the folder itself, not a folder inside it.
  std::string trimmed = folder;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  const std::string parent = folderOf(trimmed);
  if (stat(parent.c_str(), &info) != 0) {
    *error = "cannot create output folder " + folder + ": " + parent +
             (errno == ENOENT ? std::string(" does not exist")
                              : ": " + std::string(std::strerror(errno)));
    return false;
  }
  if (!S_ISDIR(info.st_mode)) {
    *error = "cannot create output folder " + folder + ": " + parent + " is not a folder";
    return false;
  }
  if (access(parent.c_str(), W_OK | X_OK) != 0) {
    *error = "cannot create output folder " + folder + ": no permission to create it in " + parent;
    return false;
  }
  *missing = true;
  return true;
}

bool makeFolder(const std::string& folder, std::string* error) {
  // The umask decides the mode, as for mkdir.
  if (mkdir(folder.c_str(), 0777) == 0) return true;
  *error = "cannot create output folder " + folder + ": " + std::strerror(errno);
  return false;
}
