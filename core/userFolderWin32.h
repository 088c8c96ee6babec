// userFolderWin32.h -- the per-user folder: its place, the folders above it, the folder itself
#pragma once

#include <cstddef>

#include "core/hostErrors.h"
#include "core/hostInterface.h"

// The per-user folder below the local application data folder: "\brisel".
constexpr char kUserFolderName[] = "\\brisel";

// The shell's local application data folder, never environment strings, with
// no trailing backslash. -43 when the shell names none, -37 when it has no
// exact spelling in the A-functions' code page or does not fit size.
OSErr findLocalAppData(char* folder, size_t size);

// True when the folder's access list lets anyone but this user, the system and
// the administrators add, remove or rename what it holds; also when it has no
// list, or a list or an entry of it cannot be read: the answer only refuses.
bool isWritableByOthers(const char* folder);

// What a check found in the way, and which folder: the first partLength
// characters of the folder checked.
enum UserFolderFault : int16_t {
  kFolderSound = 0,
  kFolderPartMissing,  // cannot be looked at (err says why: -43, -61, -37, -36)
  kFolderPartIsFile,   // a file where a folder should be
  kFolderPlantedLink,  // a link or junction in a folder others may write
  kFolderIsLink,       // the folder itself is a link or junction
  kFolderBadPath,      // too long, or neither a drive's nor a share's path
};
struct FolderWalk {
  OSErr err = noErr;  // -43, -61, -37 or -36 with a fault, else 0
  UserFolderFault fault = kFolderSound;
  size_t partLength = 0;
};

// Every folder from the drive (or share) down to folder must be there. A link
// or junction among them is the user's own redirection (AppData moved to
// another drive, say) when only the user and the administrators may change the
// folder that holds it; one in a folder others may write could have been
// planted there, and is refused (-37).
FolderWalk walkUserFolderAncestors(const char* folder);

// The per-user folder itself must be a plain folder: a junction or link could
// lead the files anywhere, and a file in its place is not ours to replace.
// Made when missing and makeFolder is set; missing otherwise is -43.
FolderWalk checkUserFolder(const char* folder, bool makeFolder);
