// moduleFilesWin32.cpp -- the module's files: the root of drive C:, or the per-user folder
#include <windows.h>

#include <aclapi.h>
#include <knownfolders.h>
#include <objbase.h>
#include <shlobj.h>

#include <cstdio>
#include <string>

#include "cli/moduleFiles.h"

namespace {

constexpr char kRoot[] = "c:\\";
constexpr char kSettingsName[] = "OMKApref.xxx";

// Whether this user may make files in the root of C:, found out as the module
// finds out: by making one (deleted on close). A standard user may not, and
// the module then keeps its files in the per-user folder.
bool rootWritable() {
  static const bool writable = [] {
    char probe[64];
    std::snprintf(probe, sizeof probe, "c:\\brisel-probe-%lu.tmp", GetCurrentProcessId());
    HANDLE made = CreateFileA(probe, GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (made == INVALID_HANDLE_VALUE) return GetLastError() != ERROR_ACCESS_DENIED;
    CloseHandle(made);
    return true;
  }();
  return writable;
}

// The shell's local application data folder, unverified, as the module asks
// for it; empty when there is none or it has no exact ANSI spelling.
std::string localAppData() {
  PWSTR wide = nullptr;
  const HRESULT found =
      SHGetKnownFolderPath(FOLDERID_LocalAppData, KF_FLAG_DONT_VERIFY, nullptr, &wide);
  char folder[MAX_PATH * 2];
  BOOL approximated = FALSE;
  const int length =
      FAILED(found) || wide == nullptr
          ? 0
          : WideCharToMultiByte(AreFileApisANSI() ? CP_ACP : CP_OEMCP, WC_NO_BEST_FIT_CHARS, wide,
                                -1, folder, int(sizeof folder), nullptr, &approximated);
  CoTaskMemFree(wide);
  if (length <= 1 || approximated) return "";
  std::string text(folder);
  while (text.size() > 3 && text.back() == '\\') text.pop_back();
  return text;
}

std::string userFolder() {
  const std::string local = localAppData();
  return local.empty() ? "" : local + "\\brisel";
}

// The module's rule for links above the per-user folder: refused when the
// folder holding the link lets others than this user, the system and the
// administrators change what it holds.
bool writableByOthers(const std::string& folder) {
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetNamedSecurityInfoA(folder.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                            nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS) {
    return true;
  }
  bool open = dacl == nullptr;
  alignas(TOKEN_USER) BYTE userBytes[256];
  DWORD userSize = 0;
  PSID user = nullptr;
  HANDLE token = nullptr;
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
    if (!GetAce(dacl, i, reinterpret_cast<void**>(&header))) break;
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE)) {
      continue;
    }
    const ACCESS_ALLOWED_ACE* ace = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header);
    if ((ace->Mask & changes) == 0) continue;
    const PSID sid = const_cast<DWORD*>(&ace->SidStart);  // the SID starts there
    open = !((user != nullptr && EqualSid(sid, user)) || IsWellKnownSid(sid, WinLocalSystemSid) ||
             IsWellKnownSid(sid, WinBuiltinAdministratorsSid) ||
             IsWellKnownSid(sid, WinCreatorOwnerSid));
  }
  LocalFree(descriptor);
  return open;
}

// What keeps the module from the per-user folder, as the module checks it;
// empty when nothing visibly does.
std::string diagnoseUserFolder() {
  const std::string local = localAppData();
  if (local.empty()) {
    return "no per-user folder for the filter's files: the shell names no local application "
           "data folder that can be spelt in this code page";
  }
  const std::string folder = local + "\\brisel";
  // The module's longest name, OMKApref.xxx, and its backslash must fit.
  if (folder.size() + 1 + sizeof kSettingsName > MAX_PATH) {
    return folder + " is longer than Windows paths may be (" + std::to_string(MAX_PATH) +
           " characters)";
  }
  size_t start = local[1] == ':' ? 3 : local.find('\\', local.find('\\', 2) + 1) + 1;
  for (size_t at = start; at <= local.size(); ++at) {
    if (at < local.size() && local[at] != '\\') continue;
    const std::string part = local.substr(0, at);
    const DWORD attributes = GetFileAttributesA(part.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return part + " does not exist";
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return part + " is a file, not a folder";
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
        writableByOthers(part.substr(0, part.rfind('\\') + 1))) {
      return part + " is a link in a folder others may write; refusing to use it";
    }
  }
  const DWORD attributes = GetFileAttributesA(folder.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    return GetLastError() == ERROR_FILE_NOT_FOUND ? folder + " could not be made" : "";
  }
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    return folder + " is a link or junction; refusing to use it";
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return folder + " is a file, not a folder";
  return "";
}

// The settings file the module reads: the shared one in the root, unless
// that may not be written (or made) and the per-user folder can be had, as
// in the module's own order. A shared file held by another run stays the one.
std::string settingsFilePath() {
  const std::string shared = std::string(kRoot) + kSettingsName;
  HANDLE file = CreateFileA(shared.c_str(), GENERIC_READ | GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    CloseHandle(file);
    return shared;
  }
  const DWORD cause = GetLastError();
  const bool refused =
      cause == ERROR_ACCESS_DENIED ||
      ((cause == ERROR_FILE_NOT_FOUND || cause == ERROR_PATH_NOT_FOUND) && !rootWritable());
  if (!refused || !diagnoseUserFolder().empty()) return shared;
  return userFolder() + "\\" + kSettingsName;
}

}  // namespace

std::string moduleFolder() {
  if (rootWritable()) return kRoot;
  const std::string folder = userFolder();
  return folder.empty() ? kRoot : folder + "\\";
}

std::string moduleFilePath(const char* name) {
  if (std::string(name) == kSettingsName) return settingsFilePath();
  return moduleFolder() + name;
}

// The drive root has no modes to get wrong; the per-user folder can.
std::string diagnoseModuleFolder() { return rootWritable() ? "" : diagnoseUserFolder(); }

bool isModuleFileInUse(const char* name) {
  const std::string path = moduleFilePath(name);
  // The module opens its files without sharing: any open fails while it holds one.
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_SHARING_VIOLATION;
  CloseHandle(file);
  return false;
}
