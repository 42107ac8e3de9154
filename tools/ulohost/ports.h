// Port names as the driver's platform layer maps them to devices, so that a
// missing port is reported before anything starts and named when it cannot
// be opened.
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

// "port 'NAME' not found: DEVICE does not exist" (or "is a link to
// nothing"), with a hint when no port directory is set; empty when the
// device is there.
std::string MissingPort(const std::string &name, const std::string &port_dir);

// Checks that the device of every enabled instance's port exists, adding a
// warning (an error when as_errors) on the instance's port field for each
// one that does not. False when one is missing.
bool CheckPorts(const Config &config, const std::string &port_dir,
                bool as_errors, ConfigErrors &errors);

}  // namespace ulohost

#endif  // ULOPR1_TOOLS_ULOHOST_PORTS_H
