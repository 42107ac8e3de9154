#include "ports.h"

#include <cctype>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
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

// n of "COMn" (any case, 1 to 256, no leading zero), or 0.
unsigned ComNumber(const std::string &name) {
  if (name.size() < 4 || name.size() > 6 ||
      !EqualsIgnoringCase(name.substr(0, 3), "COM") || name[3] == '0') {
    return 0;
  }
  unsigned number = 0;
  for (std::size_t i = 3; i < name.size(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(name[i]))) return 0;
    number = number * 10 + static_cast<unsigned>(name[i] - '0');
  }
  return number <= 256 ? number : 0;
}

#endif

}  // namespace

std::string PortDevice(const std::string &given, const std::string &port_dir) {
  // A Win32 device-namespace prefix ("\\.\COM12") is dropped.
  std::string name = given.starts_with("\\\\.\\") ? given.substr(4) : given;
#ifdef _WIN32
  static_cast<void>(port_dir);
  return name;
#else
  bool null_device = EqualsIgnoringCase(name, "NUL");
  if (!null_device && !port_dir.empty() &&
      name.find('/') == std::string::npos && name != "." && name != "..") {
    std::string entry = port_dir + "/" + name;
    if (EntryExists(entry)) return entry;
  }
  if (null_device) return "/dev/null";
  if (unsigned number = ComNumber(name)) {
    return "/dev/ttyS" + std::to_string(number - 1);
  }
  if (name.starts_with('/')) return name;
  return "/dev/" + name;
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
