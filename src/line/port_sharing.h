// How the host's thread and the receiver thread share one port. The receiver
// marks itself on the port (kReceiverOnPort) for each look at it; the host's
// thread waits for that mark to clear before it writes or gives the handle
// up, so neither takes the other's bytes and no closed handle is ever used.
#ifndef ULOPR1_SERIAL_PORT_SHARING_H
#define ULOPR1_SERIAL_PORT_SHARING_H

#include <cstdint>

#include "instance/workspace.h"

namespace ulo {

// The workspace's current port handle (0 for none).
uint32_t CurrentPort(InstanceWorkspace &ws);

// Host side: waits until the receiver is off the port. The receiver's stay
// is bounded by its frame read (each byte within the read timeout, a frame
// within its length limit), so this wait ends; the host's thread never
// sends or reads beside it.
void WaitReceiverOffPort(InstanceWorkspace &ws);

// Host side: stores a new handle and returns the old one once the receiver
// has stopped using it (it sees the new handle from its next look on).
uint32_t SwapPort(InstanceWorkspace &ws, uint32_t handle);

// Host side: stores a newly opened handle and closes the one it replaces
// (a start on another port, or a device that allows a second open, such as
// NUL), which would otherwise stay open and locked.
void ReplacePort(InstanceWorkspace &ws, uint32_t handle);

// Receiver side: marks the receiver on the port unless a write holds it.
// Returns false (and leaves no mark) while kWriteBusy is set.
bool EnterPort(InstanceWorkspace &ws);
void LeavePort(InstanceWorkspace &ws);

}  // namespace ulo

#endif  // ULOPR1_SERIAL_PORT_SHARING_H
