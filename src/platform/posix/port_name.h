// Where a Windows-style port name is on Linux.
#ifndef ULOPR1_PLATFORM_POSIX_PORT_NAME_H
#define ULOPR1_PLATFORM_POSIX_PORT_NAME_H

#include <cstddef>

namespace ulo::os {

// True when name is the null device ("NUL", in any case).
bool IsNullName(const char *name);

// Writes the device path of a port name into path (size bytes): "NUL" (any
// case) is /dev/null. With a port folder (port_dir neither null nor empty),
// every other name resolves only there: the entry of that exact name, even a
// dangling symlink; no entry, no path. Without one, "COMn" (n from 1) is
// /dev/ttyS(n-1), a name starting with '/' is itself, and any other name is
// under /dev/. A leading "\\.\" (the Win32 device namespace) is dropped
// first. Returns false for an empty name, a name not in the port folder, or
// a path that does not fit.
bool PortPath(const char *name, const char *port_dir, char *path, size_t size);

}  // namespace ulo::os

#endif  // ULOPR1_PLATFORM_POSIX_PORT_NAME_H
