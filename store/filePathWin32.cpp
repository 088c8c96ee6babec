// filePathWin32.cpp -- the fixed names as real paths, and their per-user folder
#include <windows.h>

#include <aclapi.h>
#include <knownfolders.h>
#include <objbase.h>
#include <sddl.h>
#include <shlobj.h>

#include <cstring>

#include "core/hostErrors.h"
#include "store/filePath.h"

namespace {

constexpr char kUserFolderName[] = "\\brisel";

// "c:\NAME" with a plain NAME: nothing that could step out of the folder.
const char* findPlainName(const char* name) {
  if (name == nullptr) return nullptr;
  if ((name[0] != 'c' && name[0] != 'C') || name[1] != ':' || name[2] != '\\') return nullptr;
  const char* plain = name + 3;
  if (plain[0] == '\0' || std::strpbrk(plain, "/\\:") != nullptr) return nullptr;
  if (std::strstr(plain, "..") != nullptr || std::strcmp(plain, ".") == 0) return nullptr;
  return plain;
}

// The local application data folder from the shell, never from environment
// strings. Not verified by the shell: whether it then checks the folder
// depends on the system, and the answer here must not (checkAncestors does).
// The A-functions take the ANSI (or, after SetFileApisToOEM, the OEM) code
// page: a folder that has no exact spelling in it is refused rather than
// approximated.
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
  return noErr;
}

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

// True when the folder's access list lets anyone but this user, the system
// and the administrators add, remove or rename what it holds (or has no list
// at all). Unreadable lists count as open: the answer only ever refuses.
bool writableByOthers(const char* folder) {
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetNamedSecurityInfoA(folder, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                            &dacl, nullptr, &descriptor) != ERROR_SUCCESS) {
    return true;
  }
  bool open = dacl == nullptr;
  HANDLE token = nullptr;
  alignas(TOKEN_USER) BYTE userBytes[256];
  DWORD userSize = 0;
  PSID user = nullptr;
  if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
    if (GetTokenInformation(token, TokenUser, userBytes, sizeof userBytes, &userSize)) {
      user = reinterpret_cast<TOKEN_USER*>(userBytes)->User.Sid;
    }
    CloseHandle(token);
  }
  const DWORD changes = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_DELETE_CHILD | DELETE |
                        WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;
  for (DWORD i = 0; !open && i < dacl->AceCount; ++i) {
    ACE_HEADER* header = nullptr;
    if (!GetAce(dacl, i, reinterpret_cast<void**>(&header))) {
      open = true;
      break;
    }
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE)) {
      continue;
    }
    const ACCESS_ALLOWED_ACE* ace = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header);
    if ((ace->Mask & changes) == 0) continue;
    const PSID sid = const_cast<DWORD*>(&ace->SidStart);  // the SID starts there
    const bool trusted =
        (user != nullptr && EqualSid(sid, user)) || IsWellKnownSid(sid, WinLocalSystemSid) ||
        IsWellKnownSid(sid, WinBuiltinAdministratorsSid) || IsWellKnownSid(sid, WinCreatorOwnerSid);
    open = !trusted;
  }
  LocalFree(descriptor);
  return open;
}

// Every folder from the drive (or share) down to the local application data
// folder must be there. A link or junction among them is the user's own
// redirection (AppData moved to another drive, say) when only the user and
// the administrators may change the folder that holds it; one in a folder
// others may write could have been planted there, and is refused (-37).
OSErr checkAncestors(const char* folder) {
  char path[MAX_PATH];
  size_t length = std::strlen(folder);
  if (length >= sizeof path) return bdNamErr;
  std::memcpy(path, folder, length + 1);
  while (length > 3 && path[length - 1] == '\\') path[--length] = '\0';
  size_t start = 0;
  if (length >= 3 && path[1] == ':' && path[2] == '\\') {
    start = 3;
  } else if (path[0] == '\\' && path[1] == '\\') {
    // \\server\share\: the share is the root
    const char* share = std::strchr(path + 2, '\\');
    const char* end = share != nullptr ? std::strchr(share + 1, '\\') : nullptr;
    if (end == nullptr) return bdNamErr;
    start = size_t(end - path) + 1;
  } else {
    return bdNamErr;  // a relative folder is no place of the user's
  }
  for (size_t at = start; at <= length; ++at) {
    if (at < length && path[at] != '\\') continue;
    if (at == start) continue;
    const char kept = path[at];
    path[at] = '\0';
    const DWORD attributes = GetFileAttributesA(path);
    OSErr err = noErr;
    if (attributes == INVALID_FILE_ATTRIBUTES) {
      err = folderErrorCode(GetLastError());
    } else if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      err = bdNamErr;
    } else if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      char* slash = std::strrchr(path, '\\');
      const char parentEnd = slash[1];
      slash[1] = '\0';  // the parent, with its backslash: "C:\\" stays a root
      if (writableByOthers(path)) err = bdNamErr;
      slash[1] = parentEnd;
    }
    path[at] = kept;
    if (err != noErr) return err;
  }
  return noErr;
}

// The folder must be a plain folder: a junction or link could lead the files
// anywhere, and a file in its place is not ours to replace.
OSErr checkFolder(const char* folder, bool makeFolder) {
  DWORD attributes = GetFileAttributesA(folder);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD cause = GetLastError();
    if (cause != ERROR_FILE_NOT_FOUND && cause != ERROR_PATH_NOT_FOUND) {
      return folderErrorCode(cause);
    }
    if (!makeFolder) return fnfErr;
    if (!CreateDirectoryA(folder, nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
      return folderErrorCode(GetLastError());
    }
    attributes = GetFileAttributesA(folder);
    if (attributes == INVALID_FILE_ATTRIBUTES) return folderErrorCode(GetLastError());
  }
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return bdNamErr;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return bdNamErr;
  return noErr;
}

}  // namespace

bool resolveFilePath(const char* name, char* path, size_t size) {
  if (path == nullptr || size == 0) return false;
  path[0] = '\0';
  if (name == nullptr) return false;
  size_t length = std::strlen(name);
  if (length == 0 || length + 1 > size) return false;
  std::memcpy(path, name, length + 1);
  return true;
}

OSErr resolveUserFilePath(const char* name, bool makeFolder, char* path, size_t size) {
  if (path == nullptr || size == 0) return bdNamErr;
  path[0] = '\0';
  const char* plain = findPlainName(name);
  if (plain == nullptr) return bdNamErr;
  char folder[MAX_PATH * 2];
  OSErr err = findLocalAppData(folder, sizeof folder);
  if (err != noErr) return err;
  const size_t folderLength = std::strlen(folder);
  const size_t total = folderLength + sizeof kUserFolderName + std::strlen(plain) + 1;
  // Nothing longer than the A-functions take without a prefix: past MAX_PATH
  // the same name could reach another file on another system. Checked before
  // the folder is looked at, so a long path is -37 whether it exists or not.
  if (total > MAX_PATH || total > size) return bdNamErr;
  err = checkAncestors(folder);
  if (err != noErr) return err;
  std::strcat(folder, kUserFolderName);
  err = checkFolder(folder, makeFolder);
  if (err != noErr) return err;
  std::strcpy(path, folder);
  std::strcat(path, "\\");
  std::strcat(path, plain);
  return noErr;
}
