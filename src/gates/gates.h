// Gate address checks and the two status gates, STATUS and COM.
#ifndef ULOPR1_GATES_GATES_H
#define ULOPR1_GATES_GATES_H

#include <cstdint>

#include "instance/workspace.h"

namespace ulo {

// Copies address into the workspace's scratch, moving every byte of value 97
// or more down by 32, and zero-fills the rest of the scratch. Addresses
// longer than 32 bytes are cut; callers refuse them first.
void UppercaseAddress(InstanceWorkspace &ws, const char *address);

int32_t CheckGate(const UloRequest &request);  // command 3
int32_t ReadGate(const UloRequest &request);   // command 5

}  // namespace ulo

#endif  // ULOPR1_GATES_GATES_H
