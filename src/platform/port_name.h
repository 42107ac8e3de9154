// Where a port name leads: the device the platform layer opens for it, for
// the tools that show and check ports.
#ifndef ULOPR1_PLATFORM_PORT_NAME_H
#define ULOPR1_PLATFORM_PORT_NAME_H

#include <cstddef>

namespace ulo::os {

// Writes the device of a port name into path (size bytes). A leading
// "\\.\" (the Win32 device namespace) is dropped first. On Windows the
// device is the name itself. On Linux "NUL" (any case) is /dev/null; with a
// port folder (port_dir neither null nor empty) every other name resolves
// only there: the entry of that exact name, even a dangling symlink; no
// entry, no path. Without one, "COMn" (n from 1) is /dev/ttyS(n-1), a name
// starting with '/' is itself, and any other name is under /dev/. Returns
// false for an empty name, a name not in the port folder, or a path that
// does not fit.
bool PortPath(const char *name, const char *port_dir, char *path, size_t size);

// What is at a device PortPath gave: the device (on Linux also a network
// port's entry), only an entry that leads nowhere (a link to nothing, on
// Linux), or nothing.
enum class PortFound { kDevice, kDanglingEntry, kMissing };
PortFound FindPortDevice(const char *device);

// Whether port names may be mapped through a port folder (ULO_PORT_DIR):
// on Linux, not on Windows, whose names are the system's own.
bool PortFoldersApply();

}  // namespace ulo::os

#endif  // ULOPR1_PLATFORM_PORT_NAME_H
