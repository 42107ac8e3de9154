#include "protocol/write.h"

#include <cstdio>
#include <cstring>

#include "host/host.h"
#include "protocol/receiver.h"
#include "serial/port_sharing.h"
#include "serial/serial_port.h"

namespace ulo {
namespace {

constexpr int kAttempts = 5;
// Report frames an echo read hands to the receiver's path before it gives
// up, so a controller that only reports cannot hold a write forever.
constexpr int kFramesPerEcho = 16;

// Formats the line for the gate's type into line (kLineLimit + 1 bytes).
// Returns its length, or a value above kLineLimit when it does not fit.
uint32_t FormatLine(const GateAccess &gate, char *line) {
  char text[512];
  int length = 0;
  text[0] = '\0';
  if (gate.type == ULO_TYPE_FLOAT) {
    float value;
    std::memcpy(&value, gate.value, sizeof value);
    length = std::snprintf(text, sizeof text, "%s=%f\r", gate.address,
                           double{value});
  } else if (gate.type == ULO_TYPE_DIGITAL) {
    uint16_t value;
    std::memcpy(&value, static_cast<const char *>(gate.value) + 2,
                sizeof value);
    length = std::snprintf(text, sizeof text, "%s=%u\r", gate.address,
                           unsigned{value});
  }
  if (length < 0 || uint32_t(length) >= sizeof text) return kLineLimit + 1;
  if (uint32_t(length) <= kLineLimit) std::memcpy(line, text, length + 1);
  return uint32_t(length);
}

}  // namespace

int ReadEcho(InstanceWorkspace &ws, const char *line, char *buffer,
             uint32_t *length) {
  bool collecting = false;
  uint32_t stored = 0;
  // The frame the characters arrive in, from its STX. A frame whose text is
  // not the awaited line is a report: it is passed on and is not echo.
  char frame[kFrameBufferSize];
  uint32_t framed = 0;
  uint32_t count_before_frame = 0;
  uint32_t frames = 0;
  *length = 0;
  for (uint32_t count = 0; count < kEchoReadLimit;) {
    char c = 0;
    if (!ReadExact(ws, &c, 1)) {
      err(kTrace, "ULOPR1: Failed to read a character from PLC");
      return kEchoNoCharacter;
    }
    if (c == kStx && frames < kFramesPerEcho) {
      std::memset(frame, 0, sizeof frame);
      framed = 0;
      count_before_frame = count;
    }
    if (framed < kFrameLimit && (framed > 0 || c == kStx)) frame[framed++] = c;
    ++count;
    if (c == '$' || c == '@') {
      stored = 0;
      collecting = true;
    }
    if (collecting) {
      if (stored < kLineLimit) buffer[stored] = c;
      ++stored;
    }
    bool report_ends = c == kEtx && framed > 0;
    if (c == kCr) {
      if (stored <= kLineLimit) buffer[stored] = '\0';
      bool awaited =
          stored == std::strlen(line) && std::strcmp(buffer, line) == 0;
      if (framed == 0 || awaited) {
        // A framed text that reads like the line confirms it, and is also
        // delivered: it may be a report that came just before the echo.
        if (framed > 0 && ReadFrameRest(ws, frame, framed, &framed, nullptr))
          HandleFrame(ws, frame, framed);
        *length = stored;
        return kEchoRead;
      }
      report_ends = ReadFrameRest(ws, frame, framed, &framed, nullptr);
      if (!report_ends) framed = 0;
    }
    if (framed > 0 && (report_ends || framed == kFrameLimit)) {
      if (report_ends)
        HandleFrame(ws, frame, framed);
      else
        err(kTrace, "ULOPRV: Error. ETX not found in PLC Reply!");
      ++frames;
      framed = 0;
      collecting = false;
      stored = 0;
      count = count_before_frame;
    }
  }
  return kEchoNoCr;
}

int32_t WriteGate(const UloRequest &request) {
  InstanceWorkspace &ws = *static_cast<InstanceWorkspace *>(request.workspace);
  const GateAccess &gate = *static_cast<const GateAccess *>(request.args);
  if (!gate.address || !gate.value) return ULO_REFUSED;
  char line[kLineLimit + 1];
  line[0] = '\0';
  uint32_t line_length = FormatLine(gate, line);
  if (line_length > kLineLimit) {
    err(kMessage,
        "ULOPR1: Gate %s: Write line longer than 49 characters, "
        "not sent",
        gate.address);
    return ULO_REFUSED;
  }
  int32_t result = ULO_COMM_FAILURE;
  Shared(ws.write_busy).fetch_or(kWriteBusy);
  WaitReceiverOffPort(ws);
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    if (attempt != 0) err(kTrace, "ULOPR1: write retry #%d", attempt);
    SendPaced(ws, line, line_length);
    char echo[kLineLimit + 1];
    std::memset(echo, 0, sizeof echo);
    uint32_t echo_length = 0;
    result = ReadEcho(ws, line, echo, &echo_length);
    if (result != kEchoRead) {
      err(kTrace, "ULOPR1: Failed to read response to write");
      continue;
    }
    if (echo_length == line_length && std::strcmp(echo, line) == 0) {
      result = ULO_DONE;
      err(kTrace, "ULOPR1: Write succeded");
      break;
    }
    err(kTrace, " ULOPR1: sent:%s recv:%s", line, echo);
    result = ULO_REFUSED;
  }
  Shared(ws.write_busy).fetch_and(~kWriteBusy);
  if (result != ULO_DONE)
    err(kMessage, "ULOPR1: Gate %s: Write failed. rc = %d ", gate.address,
        result);
  return result;
}

}  // namespace ulo
