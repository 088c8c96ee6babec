// filePath.h -- where the fixed "c:\" file names live on this platform
#pragma once

#include <cstddef>

#include "core/hostInterface.h"

// Maps a fixed name to the path the platform opens. On Windows the name is
// used as it stands. Elsewhere "c:\NAME" becomes DIR/NAME, where DIR is
// $BRISEL_DIR when set, else a private per-user directory created with mode
// 0700. Returns false (and an empty path) when the result does not fit or the
// directory cannot be had.
bool resolveFilePath(const char* name, char* path, size_t size);
