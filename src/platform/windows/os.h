// The operating-system calls the driver uses, on Windows: the Win32 API and
// the C runtime themselves (CreateFileA and the comm functions, events,
// Sleep, _beginthread, _strupr). Nothing is emulated here.
#ifndef ULOPR1_PLATFORM_WINDOWS_OS_H
#define ULOPR1_PLATFORM_WINDOWS_OS_H

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif

#include <process.h>
#include <string.h>
#include <windows.h>

#endif  // ULOPR1_PLATFORM_WINDOWS_OS_H
