// hostErrors.h -- the host error codes the module produces or passes on
#pragma once

#include "core/hostInterface.h"

constexpr OSErr noErr = 0;
constexpr OSErr dirFulErr = -33;    // directory full: the file system's codes run from here to -61
constexpr OSErr dskFulErr = -34;    // disk full
constexpr OSErr ioErr = -36;        // input/output error
constexpr OSErr bdNamErr = -37;     // bad file name
constexpr OSErr eofErr = -39;       // end of file
constexpr OSErr posErr = -40;       // bad position
constexpr OSErr tmfoErr = -42;      // too many files open
constexpr OSErr fnfErr = -43;       // file not found
constexpr OSErr fLckdErr = -45;     // file busy
constexpr OSErr opWrErr = -49;      // file already open for writing
constexpr OSErr rfNumErr = -51;     // bad file reference
constexpr OSErr wrPermErr = -61;    // write permission refused
constexpr OSErr memFullErr = -108;  // out of memory
constexpr OSErr userCanceledErr = -128;
constexpr OSErr filterBadParameters = -30100;  // unknown selector
constexpr OSErr filterBadMode = -30101;
