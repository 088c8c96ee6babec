// filePath.h -- where the fixed "c:\" file names live on this platform
#pragma once

#include <cstddef>

#include "core/hostInterface.h"

// Room for any path either function below produces.
constexpr size_t kFilePathBytes = 4096;

// Maps a fixed name to the path the platform opens. On Windows the name is
// used as it stands. Elsewhere "c:\NAME" becomes DIR/NAME, where DIR is
// $BRISEL_DIR when set, else a private per-user directory created with mode
// 0700. Returns false (and an empty path) when the result does not fit or the
// directory cannot be had.
bool resolveFilePath(const char* name, char* path, size_t size);

// The second place of a fixed name, for a user who may not write where
// resolveFilePath points: on Windows NAME in the per-user folder
// %LOCALAPPDATA%\brisel\, taken from the shell and made when makeFolder is
// set. -43 no profile or no folder (and makeFolder not set), -37 a path over
// MAX_PATH or size, a bad name, a folder that is a link, junction or file, or
// a link above it in a folder others may write (the user's own redirection is
// followed), -49 the folder may not be made, -36 otherwise; the path is empty
// then.
// Elsewhere the fixed names already live in a per-user directory: always -43.
OSErr resolveUserFilePath(const char* name, bool makeFolder, char* path, size_t size);
