#include "platform/port_name.h"

#include <strings.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>

#include "network_port.h"
#include "platform/syscalls.h"

namespace ulo::os {
namespace {

// n of "COMn" (case ignored, 1 to 256, no leading zero); 0 otherwise.
unsigned ComNumber(const char *name) {
  if (strncasecmp(name, "COM", 3) != 0 || name[3] < '1' || name[3] > '9') {
    return 0;
  }
  unsigned number = 0;
  for (const char *digit = name + 3; *digit; ++digit) {
    if (*digit < '0' || *digit > '9' || number > 25) return 0;
    number = number * 10 + static_cast<unsigned>(*digit - '0');
  }
  return number <= 256 ? number : 0;
}

// An entry of port_dir named name, if it exists (as a link or otherwise).
bool InPortDir(const char *name, const char *port_dir, char *path,
               size_t size) {
  if (std::strchr(name, '/') || std::strcmp(name, ".") == 0 ||
      std::strcmp(name, "..") == 0) {
    return false;
  }
  int length = std::snprintf(path, size, "%s/%s", port_dir, name);
  struct stat info;
  return length > 0 && static_cast<size_t>(length) < size &&
         sys::Current().lstat(path, &info) == 0;
}

bool IsNullName(const char *name) { return strcasecmp(name, "NUL") == 0; }

}  // namespace

PortFound FindPortDevice(const char *device) {
  struct stat info;
  NetworkAddress address;
  // A network port's entry leads to its server, not to a file.
  if (::stat(device, &info) == 0 ||
      ReadPortEntry(device, address) == EntryKind::kNetwork) {
    return PortFound::kDevice;
  }
  return sys::Current().lstat(device, &info) == 0 ? PortFound::kDanglingEntry
                                                  : PortFound::kMissing;
}

bool PortFoldersApply() { return true; }

bool PortPath(const char *name, const char *port_dir, char *path, size_t size) {
  if (std::strncmp(name, "\\\\.\\", 4) == 0) name += 4;
  if (!*name) return false;
  // With a port folder, names resolve only there: a missing entry is a port
  // that cannot be opened, never some other device.
  if (!IsNullName(name) && port_dir && *port_dir)
    return InPortDir(name, port_dir, path, size);
  int length;
  if (IsNullName(name)) {
    length = std::snprintf(path, size, "/dev/null");
  } else if (unsigned number = ComNumber(name)) {
    length = std::snprintf(path, size, "/dev/ttyS%u", number - 1);
  } else if (name[0] == '/') {
    length = std::snprintf(path, size, "%s", name);
  } else {
    length = std::snprintf(path, size, "/dev/%s", name);
  }
  return length > 0 && static_cast<size_t>(length) < size;
}

}  // namespace ulo::os
