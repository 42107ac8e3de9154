// Port names on Windows are the system's own device names.
#include "platform/port_name.h"

#include <cstdio>
#include <cstring>

#include "platform/os.h"

namespace ulo::os {

PortFound FindPortDevice(const char *device) {
  char target[1024];
  return QueryDosDeviceA(device, target, sizeof target) != 0
             ? PortFound::kDevice
             : PortFound::kMissing;
}

bool PortFoldersApply() { return false; }

bool PortPath(const char *name, const char *, char *path, size_t size) {
  if (std::strncmp(name, "\\\\.\\", 4) == 0) name += 4;
  if (!*name) return false;
  int length = std::snprintf(path, size, "%s", name);
  return length > 0 && static_cast<size_t>(length) < size;
}

}  // namespace ulo::os
