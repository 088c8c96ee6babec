// userFolderWin32.cpp -- the local application data folder and the walk down to it, for the
// module's store and the command-line host alike
#include "core/userFolderWin32.h"

#include <windows.h>

#include <aclapi.h>
#include <knownfolders.h>
#include <objbase.h>
#include <sddl.h>
#include <shlobj.h>

#include <cstring>

#include "core/hostErrors.h"

namespace {

OSErr folderErrorCode(DWORD cause) {
  switch (cause) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
      return fnfErr;
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT:
      return opWrErr;
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_FILENAME_EXCED_RANGE:
      return bdNamErr;
    default:
      return ioErr;
  }
}

// This process's user, copied into the caller's bytes; null when the token
// does not say.
PSID findProcessUser(BYTE* bytes, DWORD size) {
  PSID user = nullptr;
  HANDLE token = nullptr;
  DWORD used = 0;
  if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
    if (GetTokenInformation(token, TokenUser, bytes, size, &used)) {
      user = reinterpret_cast<TOKEN_USER*>(bytes)->User.Sid;
    }
    CloseHandle(token);
  }
  return user;
}

bool isTrusted(PSID sid, PSID user) {
  return (user != nullptr && EqualSid(sid, user)) || IsWellKnownSid(sid, WinLocalSystemSid) ||
         IsWellKnownSid(sid, WinBuiltinAdministratorsSid) ||
         IsWellKnownSid(sid, WinCreatorOwnerSid);
}

// The part of the path below its drive or share: "C:\" or "\\server\share\"
// are the roots and never looked at. 0 for a path of neither kind.
size_t findWalkStart(const char* path, size_t length) {
  if (length >= 3 && path[1] == ':' && path[2] == '\\') return 3;
  if (path[0] != '\\' || path[1] != '\\') return 0;
  const char* share = std::strchr(path + 2, '\\');
  const char* end = share != nullptr ? std::strchr(share + 1, '\\') : nullptr;
  return end != nullptr ? size_t(end - path) + 1 : 0;
}

// One folder of the walk, path cut after it.
UserFolderFault checkPart(char* path, OSErr* err) {
  const DWORD attributes = GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    *err = folderErrorCode(GetLastError());
    return kFolderPartMissing;
  }
  *err = bdNamErr;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return kFolderPartIsFile;
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    char* slash = std::strrchr(path, '\\');
    const char parentEnd = slash[1];
    slash[1] = '\0';  // the parent, with its backslash: "C:\\" stays a root
    const bool planted = isWritableByOthers(path);
    slash[1] = parentEnd;
    if (planted) return kFolderPlantedLink;
  }
  *err = noErr;
  return kFolderSound;
}

}  // namespace

// Not verified by the shell: whether it then checks the folder depends on the
// system, and the answer here must not (walkUserFolderAncestors does). The
// A-functions take the ANSI (or, after SetFileApisToOEM, the OEM) code page: a
// folder that has no exact spelling in it is refused rather than approximated.
OSErr findLocalAppData(char* folder, size_t size) {
  PWSTR wide = nullptr;
  const HRESULT found =
      SHGetKnownFolderPath(FOLDERID_LocalAppData, KF_FLAG_DONT_VERIFY, nullptr, &wide);
  if (FAILED(found) || wide == nullptr) {
    CoTaskMemFree(wide);
    return fnfErr;
  }
  BOOL approximated = FALSE;
  const UINT codePage = AreFileApisANSI() ? CP_ACP : CP_OEMCP;
  const int length = WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, wide, -1, folder,
                                         int(size), nullptr, &approximated);
  CoTaskMemFree(wide);
  if (length <= 1 || approximated) return bdNamErr;
  size_t end = std::strlen(folder);
  while (end > 3 && folder[end - 1] == '\\') folder[--end] = '\0';
  return noErr;
}

bool isWritableByOthers(const char* folder) {
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetNamedSecurityInfoA(folder, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                            &dacl, nullptr, &descriptor) != ERROR_SUCCESS) {
    return true;
  }
  bool open = dacl == nullptr;
  alignas(TOKEN_USER) BYTE userBytes[256];
  const PSID user = findProcessUser(userBytes, sizeof userBytes);
  const DWORD changes = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_DELETE_CHILD | DELETE |
                        WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;
  for (DWORD i = 0; !open && i < dacl->AceCount; ++i) {
    ACE_HEADER* header = nullptr;
    if (!GetAce(dacl, i, reinterpret_cast<void**>(&header))) {
      open = true;  // an entry that cannot be read might grant anything
      break;
    }
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE)) {
      continue;
    }
    const ACCESS_ALLOWED_ACE* ace = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header);
    if ((ace->Mask & changes) == 0) continue;
    const PSID sid = const_cast<DWORD*>(&ace->SidStart);  // the SID starts there
    open = !isTrusted(sid, user);
  }
  LocalFree(descriptor);
  return open;
}

FolderWalk walkUserFolderAncestors(const char* folder) {
  FolderWalk walk;
  char path[MAX_PATH];
  size_t length = std::strlen(folder);
  if (length >= sizeof path) {
    walk.err = bdNamErr;
    walk.fault = kFolderBadPath;
    return walk;
  }
  std::memcpy(path, folder, length + 1);
  while (length > 3 && path[length - 1] == '\\') path[--length] = '\0';
  const size_t start = findWalkStart(path, length);
  if (start == 0) {
    walk.err = bdNamErr;  // a relative folder is no place of the user's
    walk.fault = kFolderBadPath;
    return walk;
  }
  for (size_t at = start + 1; at <= length; ++at) {
    if (at < length && path[at] != '\\') continue;
    const char kept = path[at];
    path[at] = '\0';
    walk.fault = checkPart(path, &walk.err);
    path[at] = kept;
    if (walk.fault != kFolderSound) {
      walk.partLength = at;
      return walk;
    }
  }
  return walk;
}

FolderWalk checkUserFolder(const char* folder, bool makeFolder) {
  FolderWalk check;
  check.partLength = std::strlen(folder);
  DWORD attributes = GetFileAttributesA(folder);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD cause = GetLastError();
    check.fault = kFolderPartMissing;
    if (cause != ERROR_FILE_NOT_FOUND && cause != ERROR_PATH_NOT_FOUND) {
      check.err = folderErrorCode(cause);
      return check;
    }
    check.err = fnfErr;
    if (!makeFolder) return check;
    if (!CreateDirectoryA(folder, nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
      check.err = folderErrorCode(GetLastError());
      return check;
    }
    attributes = GetFileAttributesA(folder);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
      check.err = folderErrorCode(GetLastError());
      return check;
    }
  }
  check.err = bdNamErr;
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    check.fault = kFolderIsLink;
  } else if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    check.fault = kFolderPartIsFile;
  } else {
    check.err = noErr;
    check.fault = kFolderSound;
  }
  return check;
}
