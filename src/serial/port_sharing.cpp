#include "serial/port_sharing.h"

#include "os.h"
#include "serial/serial_port.h"

namespace ulo {

uint32_t CurrentPort(InstanceWorkspace &ws) {
  return std::atomic_ref<uint32_t>(ws.port).load();
}

void WaitReceiverOffPort(InstanceWorkspace &ws) {
  while (Shared(ws.write_busy).load() & kReceiverOnPort) Sleep(1);
}

uint32_t SwapPort(InstanceWorkspace &ws, uint32_t handle) {
  uint32_t old = std::atomic_ref<uint32_t>(ws.port).exchange(handle);
  WaitReceiverOffPort(ws);
  return old;
}

void ReplacePort(InstanceWorkspace &ws, uint32_t handle) {
  if (uint32_t old = SwapPort(ws, handle)) ClosePort(old);
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
