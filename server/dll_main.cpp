// Module entry: records the module's own instance at process attach. Thread
// notifications are switched off; the module keeps no per-thread state.
#include <windows.h>

#include "platform/module_instance.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID /*reserved*/) {
  if (reason == DLL_PROCESS_ATTACH) {
    ::DisableThreadLibraryCalls(instance);
    veltrano::platform::SetModuleInstance(instance);
  }
  return TRUE;
}
