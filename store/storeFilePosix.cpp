// storeFilePosix.cpp -- store files as unnamed files, with a locked claim at the fixed name
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/hostErrors.h"
#include "core/memory.h"
#include "store/filePath.h"
#include "store/storeFile.h"

namespace {

constexpr size_t kPathMax = 4096;
// A claim whose holder lets go between our open and our lock is tried again;
// only a run that keeps taking the name over could exhaust this.
constexpr int kClaimAttempts = 8;

int openRetrying(const char* path, int flags, mode_t mode) {
  int descriptor;
  do {
    descriptor = open(path, flags, mode);
  } while (descriptor < 0 && errno == EINTR);
  return descriptor;
}

OSErr openErrorCode(int cause) {
  switch (cause) {
    case ENOENT:
    case ENOTDIR:
      return fnfErr;
    case EACCES:
    case EPERM:
    case EROFS:
      return opWrErr;
    case EMFILE:
    case ENFILE:
      return tmfoErr;
    case ENAMETOOLONG:
      return bdNamErr;
    default:
      return ioErr;
  }
}

bool sameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// True while the name still leads to the file behind descriptor.
bool nameLeadsTo(const char* path, int descriptor) {
  struct stat held, named;
  return fstat(descriptor, &held) == 0 && lstat(path, &named) == 0 && sameFile(held, named);
}

// Opens (or makes) the file at the name and locks it. The lock, not the file,
// is what keeps a second run out: open never truncates, so a run that finds
// the name held has touched nothing. A holder that is just giving the name up
// unlinks it before it unlocks, so a lock won on a file that no longer has the
// name is given back and the name tried again.
OSErr claimName(const char* path, int* claim) {
  for (int attempt = 0; attempt < kClaimAttempts; ++attempt) {
    struct stat named;
    // This module never makes links: one at the name is nobody's claim.
    if (lstat(path, &named) == 0 && S_ISLNK(named.st_mode)) (void)unlink(path);
    // O_NONBLOCK: a pipe planted at the name must not stall the open.
    int descriptor =
        openRetrying(path, O_RDWR | O_CREAT | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (descriptor < 0) {
      const int cause = errno;
      // A file without its owner's write bit is nobody's live claim (claims
      // are made 0600): a leftover, which goes as a leftover would.
      if (cause == EACCES && attempt == 0 && lstat(path, &named) == 0 && S_ISREG(named.st_mode) &&
          (named.st_mode & S_IWUSR) == 0 && unlink(path) == 0) {
        continue;
      }
      return openErrorCode(cause);
    }
    struct stat held;
    if (fstat(descriptor, &held) != 0 || !S_ISREG(held.st_mode)) {
      (void)close(descriptor);
      return ioErr;
    }
    int locked;
    do {
      locked = flock(descriptor, LOCK_EX | LOCK_NB);
    } while (locked != 0 && errno == EINTR);
    if (locked != 0) {
      const int cause = errno;
      (void)close(descriptor);
      return cause == EWOULDBLOCK ? fLckdErr : ioErr;
    }
    if (nameLeadsTo(path, descriptor)) {
      // A claim holds no rows; whatever a killed run of an older build left
      // in it goes.
      (void)ftruncate(descriptor, 0);
      *claim = descriptor;
      return noErr;
    }
    (void)close(descriptor);
  }
  return fLckdErr;
}

// An unnamed file beside the claim: O_TMPFILE where the file system has it,
// else a unique name removed again at once (before a row is written).
OSErr openUnnamed(const char* path, int* data) {
  char directory[kPathMax];
  std::strcpy(directory, path);
  char* slash = std::strrchr(directory, '/');
  if (slash == nullptr) return bdNamErr;
  *(slash == directory ? slash + 1 : slash) = '\0';
#if defined(O_TMPFILE)
  int descriptor = openRetrying(directory, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (descriptor >= 0) {
    *data = descriptor;
    return noErr;
  }
  if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return openErrorCode(errno);
#endif
  char unique[kPathMax + 8];
  if (std::strlen(path) + 8 > sizeof unique) return bdNamErr;
  std::strcpy(unique, path);
  std::strcat(unique, ".XXXXXX");
  int made = mkstemp(unique);
  if (made < 0) return openErrorCode(errno);
  (void)unlink(unique);
  (void)fcntl(made, F_SETFD, FD_CLOEXEC);
  *data = made;
  return noErr;
}

// Unlinks the name only while it is still this run's claim, then unlocks by
// closing: in that order a run waiting on the lock never wins a dead claim.
void releaseClaim(const char* path, int claim) {
  if (path != nullptr && nameLeadsTo(path, claim)) (void)unlink(path);
  (void)close(claim);
}

}  // namespace

OSErr openStoreFile(const char* name, StoreFile* file) {
  file->data = kNoFile;
  file->claim = kNoFile;
  file->path = nullptr;
  char path[kPathMax];
  if (!resolveFilePath(name, path, sizeof path)) return bdNamErr;
  char* kept = static_cast<char*>(allocBlock(int32_t(std::strlen(path) + 1)));
  if (kept == nullptr) return memFullErr;
  std::strcpy(kept, path);
  int claim = -1;
  OSErr err = claimName(path, &claim);
  if (err == noErr) {
    int data = -1;
    err = openUnnamed(path, &data);
    if (err != noErr) {
      releaseClaim(path, claim);
    } else {
      file->claim = claim;
      file->data = data;
      file->path = kept;
      return noErr;
    }
  }
  freeBlock(kept);
  return err;
}

OSErr extendStoreFile(FileHandle data, int64_t length, bool* extended) {
  *extended = false;
  const off_t end = off_t(length);
  if (int64_t(end) != length) return dskFulErr;  // beyond a 32-bit off_t
  // Reserved blocks read as zeros; a full disk shows here rather than at a
  // row's write halfway through the run.
  int failed;
  do {
    failed = posix_fallocate(int(data), 0, end);
  } while (failed == EINTR);
  switch (failed) {
    case 0:
      *extended = true;
      return noErr;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
      return dskFulErr;
    case EOPNOTSUPP:
    case EINVAL:
    case ENODEV:
      return noErr;  // no reservation here: the zeros are written instead
    default:
      return ioErr;
  }
}

void closeStoreFile(StoreFile* file) {
  // The claim is given up where it was made, whatever BRISEL_DIR says now.
  if (file->claim != kNoFile) releaseClaim(file->path, int(file->claim));
  if (file->data != kNoFile) (void)close(int(file->data));
  freeBlock(file->path);
  file->data = kNoFile;
  file->claim = kNoFile;
  file->path = nullptr;
}
