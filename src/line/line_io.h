// What an instance sends and reads on its current port: the paced send that
// everything for the controller goes out through, exact reads, and the
// drain of stale input.
#ifndef ULOPR1_LINE_LINE_IO_H
#define ULOPR1_LINE_LINE_IO_H

#include <cstdint>

#include "instance/workspace.h"

namespace ulo {

// OpenPort with the settings' name, line and control flags: the handle, or 0.
uint32_t OpenFromSettings(const PortSettings &settings);
// Writes count bytes one at a time on the workspace's port, sleeping 100 ms
// after each. Write errors are ignored.
void SendPaced(InstanceWorkspace &ws, const void *bytes, uint32_t count);
// True when exactly count bytes were read from the workspace's port.
bool ReadExact(InstanceWorkspace &ws, void *buffer, uint32_t count);
// Throws away up to 500 waiting bytes (10 ms read timeout), then restores the
// workspace's read timeout. Errors are ignored.
void DrainInput(InstanceWorkspace &ws);

}  // namespace ulo

#endif  // ULOPR1_LINE_LINE_IO_H
