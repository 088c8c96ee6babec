// moduleFiles.h -- the module's own files (settings, stores) as the host can see them from outside
#pragma once

#include <string>

// Full path of one of the module's files by its plain name ("OMKApref.xxx"),
// in the folder where the module keeps them; empty when there is none.
std::string moduleFilePath(const char* name);
// The folder itself, for messages.
std::string moduleFolder();
// Why the module cannot use its folder (missing, a link, writable by others,
// not writable), as one line naming it; empty when nothing is visibly wrong.
std::string diagnoseModuleFolder();
// True when another run holds the module's file open.
bool isModuleFileInUse(const char* name);
