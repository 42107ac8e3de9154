#include "gates/gates.h"

#include <cstring>

#include "host/services.h"
#include "lifecycle/lifecycle.h"
#include "platform/handle_word.h"
#include "platform/os.h"
#include "protocol/receiver.h"

namespace ulo {
namespace {

constexpr uint32_t kComWaitMs = 2000;

bool Fits(const char *address) {
  return strnlen(address, kAddressLimit + 1) <= kAddressLimit;
}

// Writes a 16-bit answer 2 bytes into the gate's value block.
void Answer(const GateAccess &gate, uint16_t value) {
  std::memcpy(static_cast<char *>(gate.value) + 2, &value, sizeof value);
}

int32_t ReadStatus(InstanceWorkspace &ws, const GateAccess &gate) {
  SendRestartMessage(ws);
  Answer(gate, 1);
  return Shared(ws.comm_failed).load() ? ULO_COMM_FAILURE : ULO_DONE;
}

int32_t ReadCom(InstanceWorkspace &ws, const GateAccess &gate) {
  HANDLE event = WordHandle(Shared(ws.event).load());
  if (WaitForSingleObject(event, kComWaitMs) == WAIT_OBJECT_0) {
    Answer(gate, 1);
    Shared(ws.comm_failed).store(0);
    return ULO_DONE;
  }
  Answer(gate, 0);
  Zem5SetPlcCommStatus(ws.client[0], uint8_t(ws.instance), 0, 1, 1);
  Shared(ws.comm_failed).store(1);
  return ULO_COMM_FAILURE;
}

}  // namespace

void UppercaseAddress(InstanceWorkspace &ws, const char *address) {
  size_t i = 0;
  for (; i < sizeof ws.address - 1 && address[i] != '\0'; ++i) {
    unsigned char c = static_cast<unsigned char>(address[i]);
    ws.address[i] = char(c >= 97 ? c - 32 : c);
  }
  std::memset(ws.address + i, 0, sizeof ws.address - i);
}

int32_t CheckGate(const UloRequest &request) {
  InstanceWorkspace &ws = *static_cast<InstanceWorkspace *>(request.workspace);
  GateDefinition &gate = *static_cast<GateDefinition *>(request.args);
  gate.v255 = 255;
  gate.width = 16;
  gate.zero16 = 0;
  gate.zero20 = 0;
  if (!gate.address) return ULO_REFUSED;
  if (!Fits(gate.address)) {
    err(kMessage, "ULOPR1: Gate %s: address longer than 31 characters",
        gate.address);
    return ULO_REFUSED;
  }
  UppercaseAddress(ws, gate.address);
  char name[sizeof ws.address];
  std::memcpy(name, ws.address, sizeof name);
  _strupr(name);
  if (std::strcmp(name, "STATUS") == 0 || std::strcmp(name, "COM") == 0) {
    if (gate.type == ULO_TYPE_DIGITAL) return ULO_DONE;
    err(kMessage, "ULOPR1: Parse failed. gate %s must be digital", ws.address);
    return ULO_REFUSED;
  }
  if (ws.address[0] != '$' && ws.address[0] != '@') return ULO_REFUSED;
  gate.copy24 = gate.input;
  if (gate.type == ULO_TYPE_FLOAT) {
    gate.width = 32;
    return ULO_DONE;
  }
  return gate.type == ULO_TYPE_DIGITAL ? ULO_DONE : ULO_REFUSED;
}

int32_t ReadGate(const UloRequest &request) {
  InstanceWorkspace &ws = *static_cast<InstanceWorkspace *>(request.workspace);
  const GateAccess &gate = *static_cast<const GateAccess *>(request.args);
  if (!gate.address || !gate.value) return ULO_REFUSED;
  char name[kAddressLimit + 1];
  std::memset(name, 0, sizeof name);
  bool fits = Fits(gate.address);
  if (fits) {
    std::memcpy(name, gate.address, std::strlen(gate.address));
    _strupr(name);
  }
  int32_t answer;
  if (fits && std::strcmp(name, "STATUS") == 0) {
    answer = ReadStatus(ws, gate);
  } else if (fits && std::strcmp(name, "COM") == 0) {
    answer = ReadCom(ws, gate);
  } else {
    err(kMessage, "ULOPR1: ULO %d. Gate %s should be in 'Sample=Never'",
        ws.instance, fits ? name : gate.address);
    return ULO_REFUSED;
  }
  if (answer == ULO_COMM_FAILURE)
    err(kMessage, "ULOPR1: Comms fail! Ulo %d", ws.instance);
  return answer;
}

}  // namespace ulo
