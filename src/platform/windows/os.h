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
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <windows.h>

// Opens a file for reading in binary mode if it is a regular file; anything
// else (a device, a folder) gives null, as a missing file does.
inline FILE *OpenRegularFile(const char *name) {
  FILE *file = fopen(name, "rb");
  struct _stat info;
  if (file && (_fstat(_fileno(file), &info) != 0 ||
               (info.st_mode & _S_IFMT) != _S_IFREG)) {
    fclose(file);
    return nullptr;
  }
  return file;
}

#endif  // ULOPR1_PLATFORM_WINDOWS_OS_H
