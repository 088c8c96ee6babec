// fileErrors.cpp -- the runtime library's errno values as host codes
#include "store/fileErrors.h"

#include <cerrno>

#include "core/hostErrors.h"

OSErr deleteErrorCode(int errnoValue) {
  switch (errnoValue) {
    case ENOENT:
      return fnfErr;
    case EACCES:  // also a file open elsewhere on Windows
    case EBUSY:
    case EPERM:
      return fLckdErr;
    default:
      return noErr;
  }
}

OSErr createErrorCode(int errnoValue) {
  switch (errnoValue) {
    case ENOENT:
      return fnfErr;
    case EACCES:
      return opWrErr;
    case EMFILE:
      return tmfoErr;
    default:
      return noErr;
  }
}
