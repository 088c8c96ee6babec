// moduleInstance.h -- the module's instance handle, recorded once at load
#pragma once

// The dialog needs it to load its template; null until the library is loaded.
void* getModuleInstance();
void setModuleInstance(void* instance);
