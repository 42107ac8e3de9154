#include <cstring>

#include "lifecycle/lifecycle.h"
#include "line/line_io.h"
#include "line/port_sharing.h"
#include "serial/serial_port.h"

namespace ulo {
namespace {

// Takes the port away from the receiver and closes it. On failure the handle
// goes back into the workspace.
int32_t Close(InstanceWorkspace &ws) {
  if (CurrentPort(ws) == 0) return ULO_DONE;
  uint32_t old = SwapPort(ws, 0);
  if (ClosePort(old) != kPortOk) {
    Shared(ws.port).store(old);
    return ULO_COMM_FAILURE;
  }
  return ULO_DONE;
}

// Opens the workspace's settings and stores the new handle.
bool Reopen(InstanceWorkspace &ws) {
  uint32_t port = OpenFromSettings(ws.settings);
  if (port == 0) return false;
  ReplacePort(ws, port);
  return true;
}

}  // namespace

int32_t ClosePortCommand(const UloRequest &request) {
  return Close(*static_cast<InstanceWorkspace *>(request.workspace));
}

int32_t ReopenPort(const UloRequest &request) {
  InstanceWorkspace &ws = *static_cast<InstanceWorkspace *>(request.workspace);
  if (!Reopen(ws)) return ULO_COMM_FAILURE;
  ws.port_enabled = 1;
  return ULO_DONE;
}

int32_t ChangePort(const UloRequest &request) {
  InstanceWorkspace &ws = *static_cast<InstanceWorkspace *>(request.workspace);
  const PortChange &change = *static_cast<const PortChange *>(request.args);
  if (change.read_timeout != 0) ws.read_timeout = change.read_timeout;
  if (std::strncmp(change.port, ws.settings.port, sizeof change.port) != 0)
    Close(ws);
  std::memcpy(ws.settings.port, change.port, sizeof change.port);
  ws.settings.line = change.line;
  return Reopen(ws) ? ULO_DONE : ULO_COMM_FAILURE;
}

}  // namespace ulo
