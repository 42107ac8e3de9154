#include "serial/port_sharing.h"

#include "os.h"

namespace ulo {

uint32_t CurrentPort(InstanceWorkspace &ws) {
  return std::atomic_ref<uint32_t>(ws.port).load();
}

bool WaitReceiverOffPort(InstanceWorkspace &ws) {
  for (uint32_t waited = 0; Shared(ws.write_busy).load() & kReceiverOnPort;
       ++waited) {
    if (waited >= kHandoverWaitMs) return false;
    Sleep(1);
  }
  return true;
}

uint32_t SwapPort(InstanceWorkspace &ws, uint32_t handle) {
  uint32_t old = std::atomic_ref<uint32_t>(ws.port).exchange(handle);
  WaitReceiverOffPort(ws);
  return old;
}

bool EnterPort(InstanceWorkspace &ws) {
  if (Shared(ws.write_busy).fetch_or(kReceiverOnPort) & kWriteBusy) {
    LeavePort(ws);
    return false;
  }
  return true;
}

void LeavePort(InstanceWorkspace &ws) {
  Shared(ws.write_busy).fetch_and(~kReceiverOnPort);
}

}  // namespace ulo
