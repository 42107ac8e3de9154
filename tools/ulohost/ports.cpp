#include "ports.h"

#include "platform/port_name.h"

namespace ulohost {

std::string PortDevice(const std::string &given, const std::string &port_dir) {
  // The same mapping the driver's platform layer opens. A name missing from
  // the port folder names the entry that is not there.
  char path[4096];
  if (!ulo::os::PortPath(given.c_str(),
                         port_dir.empty() ? nullptr : port_dir.c_str(), path,
                         sizeof path))
    return port_dir.empty() ? given : port_dir + "/" + given;
  return path;
}

bool CheckPorts(const Config &config, const std::string &port_dir,
                ConfigError &error) {
  for (const InstanceConfig &instance : config.instances) {
    if (!instance.enabled) continue;
    std::string device = PortDevice(instance.port, port_dir);
    ulo::os::PortFound found = ulo::os::FindPortDevice(device.c_str());
    if (found == ulo::os::PortFound::kDevice) continue;
    std::string message = "port '" + instance.port + "' not found: " + device;
    message += found == ulo::os::PortFound::kDanglingEntry
                   ? " is a link to nothing"
                   : " does not exist";
    if (ulo::os::PortFoldersApply() && port_dir.empty()) {
      message +=
          " (no port directory: set host.port_dir or ULO_PORT_DIR "
          "to map names to devices)";
    }
    error = {config.file, instance.port_where,
             "instance[" + std::to_string(instance.index) + "].port", message};
    return false;
  }
  return true;
}

}  // namespace ulohost
