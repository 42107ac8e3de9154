#include "protocol/receiver.h"

#include <cstdlib>
#include <cstring>

#include "host/services.h"
#include "line/port_sharing.h"
#include "platform/handle_word.h"
#include "protocol/number.h"
#include "serial/serial_port.h"

namespace ulo {
namespace {

constexpr uint32_t kStartDelayMs = 1000;
constexpr uint32_t kShutdownDelayMs = 1000;
constexpr uint32_t kBusyPollsBeforeMessage = 4000;
constexpr uint32_t kHeaderLength = 3;  // STX and two header characters

uint8_t Client(const InstanceWorkspace &ws) { return ws.client[0]; }

// Waits, polling every millisecond, until no write holds the port, then marks
// the receiver on it. Once a write has held the port for more than
// kBusyPollsBeforeMessage polls, every further poll says so.
void WaitForPort(InstanceWorkspace &ws) {
  uint32_t polls = 0;
  while (!EnterPort(ws)) {
    Sleep(1);
    if (polls++ > kBusyPollsBeforeMessage)
      err(kMessage, "UloPR1 : The 'Write' thread is busy");
  }
}

// Reads what arrived while the receiver waited: as many bytes as were
// waiting when it looked, finishing the frame in progress. A burst (every
// point after a restart) is taken at once, however long the wait; frames
// that come in meanwhile wait for the next look, so a busy line costs a
// wake-up per wait rather than one per character, and a stop request is
// seen once the backlog is read.
void LookAtPort(InstanceWorkspace &ws) {
  uint32_t waiting = BytesWaiting(CurrentPort(ws));
  if (waiting == 0) {
    LeavePort(ws);
    return;
  }
  SetEvent(WordHandle(Shared(ws.event).load()));
  for (uint32_t taken = 0; taken < waiting;) {
    if (taken > 0 && !EnterPort(ws)) return;
    FrameCut cut;
    uint32_t bytes = 0;
    bool read = ReadFrame(ws, cut, &bytes);
    LeavePort(ws);
    if (!read) return;
    HandleFrame(ws, cut.buffer, cut.stored);
    taken += bytes;
  }
}

}  // namespace

FrameStep CutFrame(FrameCut &cut, char c) {
  if (++cut.seen > kCutLimit) return kFrameTooLong;
  if (c == kStx) {
    cut.stored = 0;
    cut.open = true;
  }
  if (cut.stored == kFrameLimit) return kFrameTooLong;
  cut.buffer[cut.stored++] = c;
  if (c != kEtx) return kFrameGoes;
  cut.buffer[cut.stored] = '\0';
  return kFrameEnded;
}

bool ReadFrame(InstanceWorkspace &ws, FrameCut &cut, uint32_t *taken) {
  // The whole frame comes from the port it began on: a port closed or
  // changed meanwhile ends it.
  uint32_t port = CurrentPort(ws);
  *taken = 0;
  for (;;) {
    if (!cut.open && *taken > 0 && BytesWaiting(port) == 0) return false;
    char c = 0;
    if (CurrentPort(ws) != port || ReadPort(port, &c, 1, nullptr) != kPortOk) {
      err(kTrace, "ULOPR1: Failed to read a character from PLC");
      return false;
    }
    ++*taken;
    switch (CutFrame(cut, c)) {
      case kFrameGoes:
        break;
      case kFrameEnded:
        return true;
      case kFrameTooLong:
        err(kTrace, "ULOPRV: Error. ETX not found in PLC Reply!");
        return false;
    }
  }
}

int16_t CheckErrorReply(char *text, uint32_t length) {
  if (char *cr = static_cast<char *>(std::memchr(text, kCr, length)))
    *cr = '\0';
  if (std::strncmp(text, "ERROR", 5) != 0) return 0;
  return int16_t(std::atoi(text + 5));
}

bool DeliverReport(InstanceWorkspace &ws, char *text) {
  char *equals = std::strchr(text, '=');
  if (!equals) return false;
  *equals = '\0';
  double value = ParseNumber(equals + 1);
  if (std::strlen(text) > kAddressLimit) {
    err(kTrace, "UloPR1: ULO %d, Gate address %s longer than 31 characters!",
        ws.instance, text);
    return false;
  }
  int32_t gate = 0;
  if (Zem5GetGateIdByAddressStr(Client(ws), uint8_t(ws.instance), text,
                                &gate) != 0) {
    err(kTrace, "UloPR1: ULO %d, Gate %s not defined in Drevak!", ws.instance,
        text);
    return false;
  }
  if (Zem5PutGateVal(Client(ws), gate, 2, value, 0, 0) != 0) {
    err(kMessage, "UloPR1: Write gate id %d failed", gate);
    return false;
  }
  return true;
}

void HandleFrame(InstanceWorkspace &ws, char *buffer, uint32_t length) {
  if (length <= kHeaderLength) return;
  char *text = buffer + kHeaderLength;
  if (CheckErrorReply(text, length - kHeaderLength) != 0) {
    err(kMessage, "ULOPR1: %s", text);
    return;
  }
  DeliverReport(ws, text);
  err(kTrace, "ULOPR1: %s received from ULO %d", text, ws.instance);
}

void ReportByExceptionThread(void *arg) {
  InstanceWorkspace &ws = *static_cast<InstanceWorkspace *>(arg);
  err(kMessage, "UloPR1: Start Report-By-Exception Thread");
  Sleep(kStartDelayMs);
  char message[28];
  while (Zem5WaitMsg(Client(ws), message, 1) != 0) {
    WaitForPort(ws);
    LookAtPort(ws);
  }
  uint8_t client = Client(ws);
  Shared(ws.receiver_state).fetch_or(kThreadEnded);
  Sleep(kShutdownDelayMs);
  Zem5RmClient(client);
  err(kMessage, "UloPR1: ShutDown Report By Excption thread");
}

}  // namespace ulo
