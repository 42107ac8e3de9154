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

std::string MissingPort(const std::string &name, const std::string &port_dir) {
  std::string device = PortDevice(name, port_dir);
  ulo::os::PortFound found = ulo::os::FindPortDevice(device.c_str());
  if (found == ulo::os::PortFound::kDevice) return "";
  std::string message = "port '" + name + "' not found: " + device;
  message += found == ulo::os::PortFound::kDanglingEntry
                 ? " is a link to nothing"
                 : " does not exist";
  if (ulo::os::PortFoldersApply() && port_dir.empty()) {
    message +=
        " (no port directory: set host.port_dir or ULO_PORT_DIR "
        "to map names to devices)";
  }
  return message;
}

bool CheckPorts(const Config &config, const std::string &port_dir,
                bool as_errors, ConfigErrors &errors) {
  bool found = true;
  for (const InstanceConfig &instance : config.instances) {
    if (!instance.enabled || instance.port.empty()) continue;
    std::string missing = MissingPort(instance.port, port_dir);
    if (missing.empty()) continue;
    if (!as_errors) missing += "; the instance starts once it is there";
    errors.Add({config.file, instance.port_where,
                "instance[" + std::to_string(instance.index) + "].port",
                missing, !as_errors});
    found = false;
  }
  return found;
}

}  // namespace ulohost
