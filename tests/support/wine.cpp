#include "wine.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace ulo::testing {

bool RunningUnderWine() {
#ifdef _WIN32
  // Wine's ntdll.dll has an export of its own that Windows' does not.
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll && GetProcAddress(ntdll, "wine_get_version");
#else
  return false;
#endif
}

}  // namespace ulo::testing
