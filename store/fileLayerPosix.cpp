// fileLayerPosix.cpp -- the file layer on POSIX descriptors
#include <cerrno>
#include <climits>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include "core/hostErrors.h"
#include "store/fileErrors.h"
#include "store/fileLayer.h"
#include "store/filePath.h"

namespace {

constexpr size_t kPathMax = 4096;

// Never follow a link planted at one of the fixed names, and never leak the
// descriptor into a program the host starts. O_NONBLOCK: a pipe or device
// planted there must not stall the open; what opens is then checked to be a
// regular file.
constexpr int kOpenFlags = O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;

bool isDescriptor(FileHandle handle) { return handle >= 0 && handle <= INT_MAX; }

int openRetrying(const char* path, int flags, mode_t mode = 0) {
  int descriptor;
  do {
    descriptor = open(path, flags, mode);
  } while (descriptor < 0 && errno == EINTR);
  return descriptor;
}

void adviseAccess(int descriptor, int advice) {
#if defined(POSIX_FADV_NORMAL)
  (void)posix_fadvise(descriptor, 0, 0, advice);  // a hint only
#else
  (void)descriptor;
  (void)advice;
#endif
}

#if defined(POSIX_FADV_NORMAL)
constexpr int kAdviseRandom = POSIX_FADV_RANDOM;
constexpr int kAdviseSequential = POSIX_FADV_SEQUENTIAL;
#else
constexpr int kAdviseRandom = 0;
constexpr int kAdviseSequential = 0;
#endif

// Windows opens these files without sharing; an exclusive lock gives the same
// promise here: a file held open by this module, in this process or another
// (a second host running the filter), cannot be opened again until it is
// closed, so two runs never interleave their writes. Refused like a sharing
// violation there: ioErr.
OSErr lockExclusively(int descriptor, FileHandle* handle, int advice) {
  struct stat info;
  if (fstat(descriptor, &info) != 0 || !S_ISREG(info.st_mode)) {
    (void)close(descriptor);
    return ioErr;  // only regular files are opened
  }
  int locked;
  do {
    locked = flock(descriptor, LOCK_EX | LOCK_NB);
  } while (locked != 0 && errno == EINTR);
  if (locked != 0) {
    (void)close(descriptor);
    return ioErr;
  }
  adviseAccess(descriptor, advice);
  *handle = descriptor;
  return noErr;
}

// Both opens share one mapping; only the caching hints differ. A file that
// may only be read (no write permission, read-only file system) is opened
// read-only, and its later writes fail with ioErr.
OSErr openExisting(const char* name, FileHandle* handle, int readWriteAdvice, int readOnlyAdvice,
                   bool readOnlyRetry = true) {
  if (handle == nullptr) return bdNamErr;
  *handle = kNoFile;
  char path[kPathMax];
  if (!resolveFilePath(name, path, sizeof path)) return bdNamErr;

  int descriptor = openRetrying(path, O_RDWR | kOpenFlags);
  if (descriptor >= 0) return lockExclusively(descriptor, handle, readWriteAdvice);
  switch (errno) {
    case ENOENT:
      return fnfErr;
    case EACCES:
    case EROFS:
      if (!readOnlyRetry) return wrPermErr;
      descriptor = openRetrying(path, O_RDONLY | kOpenFlags);
      if (descriptor < 0) return wrPermErr;
      return lockExclusively(descriptor, handle, readOnlyAdvice);
    case EINVAL:
    case ENAMETOOLONG:
      return bdNamErr;
    case EMFILE:
      return tmfoErr;
    default:
      return ioErr;
  }
}

}  // namespace

OSErr fileOpen(const char* name, FileHandle* handle) {
  return openExisting(name, handle, kAdviseRandom, kAdviseSequential);
}

OSErr fileOpenWritable(const char* name, FileHandle* handle) {
  return openExisting(name, handle, kAdviseRandom, kAdviseRandom, false);
}

OSErr fileOpenTemporary(const char* name, FileHandle* handle) {
  return openExisting(name, handle, kAdviseSequential, kAdviseRandom);
}

OSErr fileRead(FileHandle handle, int32_t* count, void* buffer) {
  if (count == nullptr) return ioErr;
  int32_t wanted = *count;
  *count = 0;
  if (!isDescriptor(handle) || wanted < 0 || (buffer == nullptr && wanted > 0)) return ioErr;
  // Regular files deliver everything up to the end in one call; the loop only
  // covers signals and other short deliveries.
  char* bytes = static_cast<char*>(buffer);
  while (*count < wanted) {
    ssize_t got = read(int(handle), bytes + *count, size_t(wanted - *count));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return ioErr;
    if (got == 0) break;
    *count += int32_t(got);
  }
  return noErr;
}

OSErr fileWrite(FileHandle handle, int32_t* count, const void* buffer) {
  if (count == nullptr) return ioErr;
  int32_t wanted = *count;
  *count = 0;
  if (!isDescriptor(handle) || wanted < 0 || (buffer == nullptr && wanted > 0)) return ioErr;
  // One call, as a short count is the caller's to judge: at the end of the
  // space (or of a file size limit) it is what a full disk looks like.
  ssize_t put;
  do {
    put = write(int(handle), buffer, size_t(wanted));
  } while (put < 0 && errno == EINTR);
  if (put < 0) return errno == ENOSPC ? dskFulErr : ioErr;
  *count = int32_t(put);
  return noErr;
}

OSErr fileSetPosition(FileHandle handle, int16_t mode, int64_t offset) {
  int whence;
  switch (mode) {
    case kPositionStay:
      return noErr;
    case kPositionFromStart:
      whence = SEEK_SET;
      break;
    case kPositionFromEnd:
      whence = SEEK_END;
      break;
    case kPositionFromCurrent:
      whence = SEEK_CUR;
      break;
    default:
      return posErr;
  }
  if (!isDescriptor(handle)) return rfNumErr;
  off_t position = off_t(offset);
  if (int64_t(position) != offset) return posErr;  // beyond a 32-bit off_t
  if (lseek(int(handle), position, whence) >= 0) return noErr;
  switch (errno) {
    case EBADF:
      return rfNumErr;
    case EINVAL:
    case EOVERFLOW:
      return posErr;
    default:
      return noErr;
  }
}

OSErr fileClose(FileHandle handle) {
  if (!isDescriptor(handle)) return rfNumErr;
  // POSIX leaves the descriptor closed even when close reports EINTR, so it
  // is never retried.
  return close(int(handle)) == 0 ? noErr : rfNumErr;
}

OSErr fileDelete(const char* name) {
  char path[kPathMax];
  if (!resolveFilePath(name, path, sizeof path)) return bdNamErr;
  if (unlink(path) == 0) return noErr;
  return deleteErrorCode(errno);
}

OSErr fileCreate(const char* name, OSType creator, OSType fileType) {
  (void)creator;  // no place to record them on this platform
  (void)fileType;
  char path[kPathMax];
  if (!resolveFilePath(name, path, sizeof path)) return bdNamErr;
  int descriptor = openRetrying(path, O_WRONLY | O_CREAT | O_TRUNC | kOpenFlags, 0600);
  if (descriptor >= 0) {
    struct stat info;
    const bool regular = fstat(descriptor, &info) == 0 && S_ISREG(info.st_mode);
    (void)close(descriptor);  // the file exists; how the close went does not matter
    return regular ? noErr : ioErr;
  }
  if (errno == ENXIO) return ioErr;  // a pipe without a reader: not a file to create
  return createErrorCode(errno);
}
