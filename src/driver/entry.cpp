// The exported entry point: one guard, then a fixed table of 17 handler
// slots indexed by the command code.
#include <cstddef>

#include "driver/description.h"
#include "gates/gates.h"
#include "host/services.h"
#include "instance/workspace.h"
#include "lifecycle/lifecycle.h"
#include "platform/handle_word.h"
#include "platform/os.h"
#include "protocol/write.h"
#include "serial/serial_port.h"

namespace ulo {
namespace {

using Handler = int32_t (*)(const UloRequest &);

int32_t Refuse(const UloRequest &) { return ULO_REFUSED; }

int32_t BlockRead(const UloRequest &) {
  err(kMessage, "ULOPR1: Block Read not supported!");
  return ULO_REFUSED;
}

int32_t BlockWrite(const UloRequest &) {
  err(kMessage, "ULOPR: Block Write not supported!");
  return ULO_REFUSED;
}

struct Slot {
  Handler handler;
  bool needs_args;
};

// Empty slots (0, 8, 9, 16) refuse without touching the workspace.
constexpr Slot kCommands[ULO_COMMAND_SLOTS] = {
    {Refuse, false},            // 0: empty
    {StartInstance, true},      // 1: cold start
    {WarmStart, false},         // 2: warm start
    {CheckGate, true},          // 3: check a gate address
    {Refuse, false},            // 4: not supported, silently
    {ReadGate, true},           // 5: read a gate
    {BlockRead, false},         // 6
    {WriteGate, true},          // 7: write a gate
    {Refuse, false},            // 8: empty
    {Refuse, false},            // 9: empty
    {BlockWrite, false},        // 10
    {ClosePortCommand, false},  // 11: close the port
    {ClosePortCommand, false},  // 12: close the port
    {ReopenPort, false},        // 13: reopen with the stored settings
    {Describe, true},           // 14: describe the driver
    {ChangePort, true},         // 15: change the port settings
    {Refuse, false},            // 16: empty
};

// True once the receiver has ended. The first command after that releases
// the data-arrived event, and the port too: no command can close it any more,
// and an open port stays locked against every other user.
bool Finished(InstanceWorkspace &ws) {
  if (!(Shared(ws.receiver_state).load() & kThreadEnded)) return false;
  if (uint32_t event = Shared(ws.event).exchange(0))
    CloseHandle(WordHandle(event));
  if (uint32_t port = Shared(ws.port).exchange(0)) ClosePort(port);
  return true;
}

// What a finished instance answers: commands that only release or describe
// have nothing left to do, but a read or a write that did not happen must
// not read as done.
int32_t AfterTheEnd(int32_t command) {
  return command == ULO_CMD_READ_GATE || command == ULO_CMD_WRITE_GATE
             ? ULO_REFUSED
             : ULO_DONE;
}

}  // namespace
}  // namespace ulo

extern "C" ULO_EXPORT int32_t UloMain(UloRequest *request) {
  using namespace ulo;
  if (!request) return ULO_REFUSED;
  int32_t command = request->command;
  if (command < 0 || command >= ULO_COMMAND_SLOTS) return ULO_REFUSED;
  const Slot &slot = kCommands[command];
  if (command != ULO_CMD_DESCRIBE) {
    if (!request->workspace) return ULO_REFUSED;
    if (Finished(*static_cast<InstanceWorkspace *>(request->workspace)))
      return AfterTheEnd(command);
  }
  if (slot.needs_args && !request->args) return ULO_REFUSED;
  return slot.handler(*request);
}
