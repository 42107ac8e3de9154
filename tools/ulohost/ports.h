// Port names as the driver's platform layer maps them to devices, so that a
// missing port is reported before anything starts.
#ifndef ULOPR1_TOOLS_ULOHOST_PORTS_H
#define ULOPR1_TOOLS_ULOHOST_PORTS_H

#include <string>

#include "config.h"

namespace ulohost {

// The device the driver opens for a port name. On Windows the name itself
// (without a "\\.\" prefix). On Linux: "NUL" is /dev/null; an entry
// of that name in port_dir (when not empty) is that entry; "COMn" is
// /dev/ttyS(n-1); a name starting with '/' is itself; any other name is
// under /dev/.
std::string PortDevice(const std::string &name, const std::string &port_dir);

// Checks that the device of every enabled instance's port exists; on failure
// the error names the instance's port field.
bool CheckPorts(const Config &config, const std::string &port_dir,
                ConfigError &error);

}  // namespace ulohost

#endif  // ULOPR1_TOOLS_ULOHOST_PORTS_H
