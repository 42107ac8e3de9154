#include "line/line_io.h"

#include <cstring>

#include "line/port_sharing.h"
#include "platform/os.h"
#include "serial/serial_port.h"

namespace ulo {
namespace {

constexpr uint32_t kPaceMs = 100;
constexpr uint32_t kDrainBytes = 500;
constexpr int32_t kDrainTimeoutUnits = 1;

}  // namespace

uint32_t OpenFromSettings(const PortSettings &settings) {
  char name[sizeof settings.port + 1];
  std::memcpy(name, settings.port, sizeof settings.port);
  name[sizeof settings.port] = '\0';
  uint32_t handle = 0;
  if (OpenPort(name, settings.line, settings.control_flags, &handle) != kPortOk)
    return 0;
  return handle;
}

void SendPaced(InstanceWorkspace &ws, const void *bytes, uint32_t count) {
  const char *next = static_cast<const char *>(bytes);
  for (uint32_t i = 0; i < count; ++i) {
    WritePort(CurrentPort(ws), next + i, 1, nullptr);
    Sleep(kPaceMs);
  }
}

bool ReadExact(InstanceWorkspace &ws, void *buffer, uint32_t count) {
  uint32_t received = 0;
  return ReadPort(CurrentPort(ws), buffer, count, &received) == kPortOk &&
         received == count;
}

void DrainInput(InstanceWorkspace &ws) {
  char scratch[kDrainBytes];
  SetReadTimeout(CurrentPort(ws), kDrainTimeoutUnits);
  uint32_t received = 0;
  ReadPort(CurrentPort(ws), scratch, kDrainBytes, &received);
  SetReadTimeout(CurrentPort(ws), ws.read_timeout);
}

}  // namespace ulo
