#include "ports.h"

#include <strings.h>
#include <sys/stat.h>

#include <cctype>

namespace ulohost {
namespace {

// n of "COMn" (any case, 1 to 256, no leading zero), or 0.
unsigned ComNumber(const std::string &name) {
  if (name.size() < 4 || name.size() > 6 ||
      strncasecmp(name.c_str(), "COM", 3) != 0 || name[3] == '0') {
    return 0;
  }
  unsigned number = 0;
  for (std::size_t i = 3; i < name.size(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(name[i]))) return 0;
    number = number * 10 + static_cast<unsigned>(name[i] - '0');
  }
  return number <= 256 ? number : 0;
}

bool Exists(const std::string &path, bool follow) {
  struct stat info;
  return (follow ? stat(path.c_str(), &info) : lstat(path.c_str(), &info)) == 0;
}

}  // namespace

std::string PortDevice(const std::string &given, const std::string &port_dir) {
  // A Win32 device-namespace prefix ("\\.\COM12") is dropped.
  std::string name = given.starts_with("\\\\.\\") ? given.substr(4) : given;
  bool null_device = strcasecmp(name.c_str(), "NUL") == 0;
  if (!null_device && !port_dir.empty() &&
      name.find('/') == std::string::npos && name != "." && name != "..") {
    std::string entry = port_dir + "/" + name;
    if (Exists(entry, false)) return entry;
  }
  if (null_device) return "/dev/null";
  if (unsigned number = ComNumber(name)) {
    return "/dev/ttyS" + std::to_string(number - 1);
  }
  if (name.starts_with('/')) return name;
  return "/dev/" + name;
}

bool CheckPorts(const Config &config, const std::string &port_dir,
                ConfigError &error) {
  for (const InstanceConfig &instance : config.instances) {
    if (!instance.enabled) continue;
    std::string device = PortDevice(instance.port, port_dir);
    if (Exists(device, true)) continue;
    std::string message = "port '" + instance.port + "' not found: " + device;
    message +=
        Exists(device, false) ? " is a link to nothing" : " does not exist";
    if (port_dir.empty()) {
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
