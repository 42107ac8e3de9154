#include "line/port_sharing.h"

#include "platform/os.h"
#include "serial/serial_port.h"

namespace ulo {

uint32_t CurrentPort(InstanceWorkspace &ws) { return Shared(ws.port).load(); }

void WaitReceiverOffPort(InstanceWorkspace &ws) {
  while (Shared(ws.port_use).load() & kReceiverOnPort) Sleep(1);
}

uint32_t SwapPort(InstanceWorkspace &ws, uint32_t handle) {
  uint32_t old = Shared(ws.port).exchange(handle);
  WaitReceiverOffPort(ws);
  return old;
}

void ReplacePort(InstanceWorkspace &ws, uint32_t handle) {
  if (uint32_t old = SwapPort(ws, handle)) ClosePort(old);
}

bool EnterPort(InstanceWorkspace &ws) {
  if (Shared(ws.port_use).fetch_or(kReceiverOnPort) & kWriteBusy) {
    LeavePort(ws);
    return false;
  }
  return true;
}

void LeavePort(InstanceWorkspace &ws) {
  Shared(ws.port_use).fetch_and(~kReceiverOnPort);
}

}  // namespace ulo
