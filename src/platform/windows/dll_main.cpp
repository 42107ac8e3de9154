// The driver library's load hook: it wants no thread attach and detach
// notifications (receiver threads come and go) and sets up nothing else.
#include "platform/os.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(instance);
  return TRUE;
}
