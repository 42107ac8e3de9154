// Where a Windows-style port name is on Linux.
#ifndef ULOPR1_PLATFORM_POSIX_PORT_NAME_H
#define ULOPR1_PLATFORM_POSIX_PORT_NAME_H

#include <cstddef>

namespace ulo::os {

// True when name is the null device ("NUL", in any case).
bool IsNullName(const char *name);

// Writes the device path of a port name into path (size bytes): "NUL" is
// /dev/null; an entry of that exact name in port_dir (if not null), even a
// dangling symlink, is that entry; "COMn" (n from 1) is /dev/ttyS(n-1); a
// name starting with '/' is itself; any other name is under /dev/. A leading
// "\\.\" (the Win32 device namespace) is dropped first. Returns false for an
// empty name or a path that does not fit.
bool PortPath(const char *name, const char *port_dir, char *path, size_t size);

}  // namespace ulo::os

#endif  // ULOPR1_PLATFORM_POSIX_PORT_NAME_H
