// loadNotifyWin32.cpp -- the library's load notification: keeps the module instance handle
#include <windows.h>

#include "core/moduleInstance.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) setModuleInstance(instance);
  return TRUE;
}
