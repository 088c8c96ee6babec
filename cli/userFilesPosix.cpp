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

char randomLetter() {
  static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  static std::mt19937 generator(std::random_device{}() ^ uint32_t(getpid()));
  return kLetters[generator() % (sizeof kLetters - 1)];
}

}  // namespace

FILE* openPlainFile(const std::string& path, std::string* error) {
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

bool planOutput(const std::string& path, OutputTarget* target, std::string* error) {
  *target = OutputTarget();
  target->path = path;
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
  struct rlimit space;
  if (getrlimit(RLIMIT_AS, &space) == 0 && space.rlim_cur != RLIM_INFINITY &&
      uint64_t(space.rlim_cur) < limit) {
    limit = uint64_t(space.rlim_cur);
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

bool isSameFile(const std::string& a, const std::string& b) {
  struct stat first, second;
  return stat(a.c_str(), &first) == 0 && stat(b.c_str(), &second) == 0 &&
         first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}
