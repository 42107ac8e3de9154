// Starting and restarting an instance, its init file and restart message,
// and the commands that manage its port at run time.
#ifndef ULOPR1_LIFECYCLE_LIFECYCLE_H
#define ULOPR1_LIFECYCLE_LIFECYCLE_H

#include <cstdint>

#include "instance/workspace.h"

namespace ulo {

// The restart message when the init file is missing or unusable.
constexpr char kDefaultRestartMessage[] = "RESTART 100";

// Reads the first line of the instance's init file into the workspace's
// restart message. True when a line of at most 49 characters ended by a
// newline was read.
bool LoadInitFile(const UloRequest &request);
// Sends the restart message and a CR, paced.
void SendRestartMessage(InstanceWorkspace &ws);

int32_t StartInstance(const UloRequest &request);     // command 1
int32_t WarmStart(const UloRequest &request);         // command 2
int32_t ClosePortCommand(const UloRequest &request);  // commands 11 and 12
int32_t ReopenPort(const UloRequest &request);        // command 13
int32_t ChangePort(const UloRequest &request);        // command 15

}  // namespace ulo

#endif  // ULOPR1_LIFECYCLE_LIFECYCLE_H
