#include "ports.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>

#include "port_name.h"
#endif

namespace ulohost {
namespace {

#ifdef _WIN32

// Whether Windows has a device of this name (COM3, NUL).
bool DeviceExists(const std::string &device) {
  char target[1024];
  return QueryDosDeviceA(device.c_str(), target, sizeof target) != 0;
}

bool EntryExists(const std::string &) { return false; }

#else

bool DeviceExists(const std::string &path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0;
}

// The entry itself, even a link to nothing.
bool EntryExists(const std::string &path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0;
}

#endif

}  // namespace

std::string PortDevice(const std::string &given, const std::string &port_dir) {
#ifdef _WIN32
  // A Win32 device-namespace prefix ("\\.\COM12") is dropped.
  static_cast<void>(port_dir);
  return given.starts_with("\\\\.\\") ? given.substr(4) : given;
#else
  // The same mapping the driver's platform layer opens. A name missing from
  // the port folder names the entry that is not there.
  char path[4096];
  if (!ulo::os::PortPath(given.c_str(),
                         port_dir.empty() ? nullptr : port_dir.c_str(), path,
                         sizeof path))
    return port_dir.empty() ? given : port_dir + "/" + given;
  return path;
#endif
}

bool CheckPorts(const Config &config, const std::string &port_dir,
                ConfigError &error) {
  for (const InstanceConfig &instance : config.instances) {
    if (!instance.enabled) continue;
    std::string device = PortDevice(instance.port, port_dir);
    if (DeviceExists(device)) continue;
    std::string message = "port '" + instance.port + "' not found: " + device;
    message +=
        EntryExists(device) ? " is a link to nothing" : " does not exist";
#ifndef _WIN32
    if (port_dir.empty()) {
      message +=
          " (no port directory: set host.port_dir or ULO_PORT_DIR "
          "to map names to devices)";
    }
#endif
    error = {config.file, instance.port_where,
             "instance[" + std::to_string(instance.index) + "].port", message};
    return false;
  }
  return true;
}

}  // namespace ulohost
