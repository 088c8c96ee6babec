// moduleFilesWin32.cpp -- the module's files: the root of drive C:, or the per-user folder
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "cli/moduleFiles.h"
#include "core/fixedFiles.h"
#include "core/hostErrors.h"
#include "core/userFolderWin32.h"

namespace {

constexpr char kRoot[] = "c:\\";
const char* const kSettingsName = plainFileName(kSettingsFileName);

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

// The shell's local application data folder, as the module asks for it; empty
// when there is none or it has no exact spelling in this code page.
std::string localAppData() {
  char folder[MAX_PATH * 2];
  return findLocalAppData(folder, sizeof folder) == noErr ? folder : "";
}

std::string userFolder() {
  const std::string local = localAppData();
  return local.empty() ? "" : local + kUserFolderName;
}

// What keeps the module from the per-user folder, found by the module's own
// checks; empty when nothing visibly does.
std::string diagnoseUserFolder() {
  const std::string local = localAppData();
  if (local.empty()) {
    return "no per-user folder for the filter's files: the shell names no local application "
           "data folder that can be spelt in this code page";
  }
  const std::string folder = local + kUserFolderName;
  // The module's longest name, its settings file's, and its backslash must fit.
  if (folder.size() + 1 + std::strlen(kSettingsName) + 1 > MAX_PATH) {
    return folder + " is longer than Windows paths may be (" + std::to_string(MAX_PATH) +
           " characters)";
  }
  const FolderWalk walk = walkUserFolderAncestors(local.c_str());
  const std::string part = local.substr(0, walk.partLength);
  switch (walk.fault) {
    case kFolderSound:
      break;
    case kFolderPartIsFile:
      return part + " is a file, not a folder";
    case kFolderPlantedLink:
      return part + " is a link in a folder others may write; refusing to use it";
    case kFolderBadPath:
      return local + " is no full path of a drive or share";
    default:
      return part + " does not exist";
  }
  const FolderWalk check = checkUserFolder(folder.c_str(), false);
  switch (check.fault) {
    case kFolderSound:
      return "";
    case kFolderIsLink:
      return folder + " is a link or junction; refusing to use it";
    case kFolderPartIsFile:
      return folder + " is a file, not a folder";
    default:
      return check.err == fnfErr ? folder + " could not be made" : "";
  }
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
