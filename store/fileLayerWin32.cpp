// fileLayerWin32.cpp -- the file layer on kernel32 handles and the runtime's file calls
#include <windows.h>

#include <cerrno>
#include <cstdio>

#include <io.h>
#include <sys/stat.h>

#include "core/hostErrors.h"
#include "store/fileErrors.h"
#include "store/fileLayer.h"
#include "store/filePath.h"

namespace {

HANDLE toHandle(FileHandle handle) { return reinterpret_cast<HANDLE>(handle); }

// kNoFile is INVALID_HANDLE_VALUE, which kernel32 also reads as the current
// process: CloseHandle would "succeed" on it, so it is refused up front.
bool isOpenHandle(FileHandle handle) { return handle != kNoFile && handle != 0; }

// Only disk files: a device or pipe behind the name is refused like an open
// that failed.
HANDLE openWith(const char* path, DWORD access, DWORD flags) {
  HANDLE file = CreateFileA(path, access, 0, nullptr, OPEN_EXISTING, flags, nullptr);
  if (file != INVALID_HANDLE_VALUE && GetFileType(file) != FILE_TYPE_DISK) {
    CloseHandle(file);
    SetLastError(ERROR_INVALID_FUNCTION);
    return INVALID_HANDLE_VALUE;
  }
  return file;
}

// Both opens share one mapping; only the flags differ, as the table of each
// says. Only a plain access denial earns the read-only retry: a sharing
// violation (the file is held open) would fail the same way again.
OSErr openExisting(const char* name, FileHandle* handle, DWORD readWriteFlags, DWORD readOnlyFlags,
                   bool readOnlyRetry = true) {
  if (handle == nullptr) return bdNamErr;
  *handle = kNoFile;
  char path[MAX_PATH];
  if (!resolveFilePath(name, path, sizeof path)) return bdNamErr;

  HANDLE file = openWith(path, GENERIC_READ | GENERIC_WRITE, readWriteFlags);
  if (file != INVALID_HANDLE_VALUE) {
    *handle = reinterpret_cast<FileHandle>(file);
    return noErr;
  }
  switch (GetLastError()) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
      return fnfErr;
    case ERROR_ACCESS_DENIED:
      if (!readOnlyRetry) return wrPermErr;
      file = openWith(path, GENERIC_READ, readOnlyFlags);
      if (file == INVALID_HANDLE_VALUE) return wrPermErr;
      *handle = reinterpret_cast<FileHandle>(file);
      return noErr;
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_FILENAME_EXCED_RANGE:
    case ERROR_INVALID_PARAMETER:
      return bdNamErr;
    case ERROR_TOO_MANY_OPEN_FILES:
      return tmfoErr;
    default:
      return ioErr;
  }
}

}  // namespace

OSErr fileOpen(const char* name, FileHandle* handle) {
  return openExisting(name, handle, FILE_FLAG_RANDOM_ACCESS | FILE_ATTRIBUTE_NORMAL,
                      FILE_FLAG_SEQUENTIAL_SCAN | FILE_ATTRIBUTE_NORMAL);
}

OSErr fileOpenWritable(const char* name, FileHandle* handle) {
  return openExisting(name, handle, FILE_FLAG_RANDOM_ACCESS | FILE_ATTRIBUTE_NORMAL, 0, false);
}

OSErr fileOpenTemporary(const char* name, FileHandle* handle) {
  return openExisting(name, handle, FILE_FLAG_SEQUENTIAL_SCAN | FILE_ATTRIBUTE_TEMPORARY,
                      FILE_FLAG_RANDOM_ACCESS | FILE_ATTRIBUTE_NORMAL);
}

OSErr fileRead(FileHandle handle, int32_t* count, void* buffer) {
  if (count == nullptr) return ioErr;
  int32_t wanted = *count;
  *count = 0;
  if (!isOpenHandle(handle) || wanted < 0 || (buffer == nullptr && wanted > 0)) return ioErr;
  DWORD done = 0;
  BOOL ok = ReadFile(toHandle(handle), buffer, DWORD(wanted), &done, nullptr);
  *count = int32_t(done);
  return ok ? noErr : ioErr;
}

OSErr fileWrite(FileHandle handle, int32_t* count, const void* buffer) {
  if (count == nullptr) return ioErr;
  int32_t wanted = *count;
  *count = 0;
  if (!isOpenHandle(handle) || wanted < 0 || (buffer == nullptr && wanted > 0)) return ioErr;
  DWORD done = 0;
  BOOL ok = WriteFile(toHandle(handle), buffer, DWORD(wanted), &done, nullptr);
  *count = int32_t(done);
  if (ok) return noErr;
  DWORD cause = GetLastError();
  return cause == ERROR_DISK_FULL || cause == ERROR_HANDLE_DISK_FULL ? dskFulErr : ioErr;
}

OSErr fileSetPosition(FileHandle handle, int16_t mode, int64_t offset) {
  DWORD method;
  switch (mode) {
    case kPositionStay:
      return noErr;
    case kPositionFromStart:
      method = FILE_BEGIN;
      break;
    case kPositionFromEnd:
      method = FILE_END;
      break;
    case kPositionFromCurrent:
      method = FILE_CURRENT;
      break;
    default:
      return posErr;
  }
  if (!isOpenHandle(handle)) return rfNumErr;
  LONG high = LONG(offset >> 32);
  // INVALID_SET_FILE_POINTER is also a valid low half of a large position:
  // only the last error tells a failure apart.
  SetLastError(NO_ERROR);
  DWORD low = SetFilePointer(toHandle(handle), LONG(uint32_t(offset)), &high, method);
  if (low != INVALID_SET_FILE_POINTER) return noErr;
  switch (GetLastError()) {
    case NO_ERROR:
      return noErr;
    case ERROR_INVALID_HANDLE:
      return rfNumErr;
    case ERROR_NEGATIVE_SEEK:
    case ERROR_INVALID_PARAMETER:
      return posErr;
    default:
      return noErr;
  }
}

OSErr fileClose(FileHandle handle) {
  if (!isOpenHandle(handle)) return rfNumErr;
  return CloseHandle(toHandle(handle)) ? noErr : rfNumErr;
}

OSErr fileDelete(const char* name) {
  char path[MAX_PATH];
  if (!resolveFilePath(name, path, sizeof path)) return bdNamErr;
  // remove() reports through errno; access denied and sharing violations (the
  // file is open somewhere) both arrive as EACCES.
  if (std::remove(path) == 0) return noErr;
  return deleteErrorCode(errno);
}

OSErr fileCreate(const char* name, OSType creator, OSType fileType) {
  (void)creator;  // no place to record them on this platform
  (void)fileType;
  char path[MAX_PATH];
  if (!resolveFilePath(name, path, sizeof path)) return bdNamErr;
  int descriptor = _creat(path, _S_IREAD | _S_IWRITE);
  if (descriptor >= 0) {
    (void)_close(descriptor);  // the file exists; how the close went does not matter
    return noErr;
  }
  return createErrorCode(errno);
}
