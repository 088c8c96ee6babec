// fileErrors.h -- the runtime library's errno values as host codes, shared by both platforms
#pragma once

#include "core/hostInterface.h"

// After a failed delete: -43 missing, -45 busy or not permitted, 0 otherwise.
OSErr deleteErrorCode(int errnoValue);
// After a failed create: -43 no such path, -49 not permitted, -42 too many
// open files, 0 otherwise (the caller's next open reports what is wrong).
OSErr createErrorCode(int errnoValue);
