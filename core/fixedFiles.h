// fixedFiles.h -- the module's fixed files: their names and the settings file's layout
#pragma once

#include <cstdint>

// The fixed names, as the module opens them (store/fileLayer.h). Every one is
// "c:\" and a plain name; where the platform has no drive letters, or the
// user may not write there, the plain name goes into another folder
// (store/filePath.h), which is where the command-line host looks for it too.
constexpr char kColourStoreName[] = "c:\\BackingS.xxx";
constexpr char kExtraStoreName[] = "c:\\OpacityS.xxx";
constexpr char kMaskStoreName[] = "c:\\MaskImag.xxx";
constexpr char kSettingsFileName[] = "c:\\OMKApref.xxx";
constexpr char kRunLogName[] = "c:\\OMKAlog.txt";
constexpr int32_t kFixedFolderChars = 3;  // "c:\"

// A fixed name without its "c:\": "OMKApref.xxx".
constexpr const char* plainFileName(const char* fixedName) { return fixedName + kFixedFolderChars; }

// The settings file, shared with sibling filters: the settings block, zeros up
// to the first string block, then one string block per file string slot.
//   0      800 bytes   settings block (RunContext::settings), kept as read
//   484    4 x float32 the four parameters, little-endian (resources/filterParameters.h)
//   800    zeros up to 1024
//   1024   16 string blocks of 1024 bytes: a string of at most 513 characters, a zero
constexpr int32_t kSettingsBlockBytes = 800;
constexpr int32_t kSettingsParametersOffset = 484;
constexpr int32_t kSettingsStringBlockBytes = 1024;
constexpr int32_t kSettingsFileStringSlots = 16;
constexpr int32_t kSettingsFileBytes = kSettingsStringBlockBytes * (1 + kSettingsFileStringSlots);
// Each string block is read this far: more than any slot keeps.
constexpr int32_t kStringBlockReadBytes = 800;

// The run's string slots (RunContext::strings): one more than the file holds.
// Slot 16 may be set and read during a run but is never loaded or saved.
constexpr int32_t kRunStringSlots = kSettingsFileStringSlots + 1;
constexpr int32_t kStringSlotBytes = 514;  // at most 513 characters and a zero

static_assert(kSettingsFileBytes == 17408, "the settings file's size is fixed");
static_assert(kSettingsParametersOffset + 16 <= kSettingsBlockBytes, "parameters in the block");
static_assert(kSettingsBlockBytes <= kSettingsStringBlockBytes, "block before the strings");
static_assert(kStringSlotBytes <= kStringBlockReadBytes, "a block's read covers a slot");
