#include "protocol/write.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "host/services.h"
#include "line/line_io.h"
#include "line/port_sharing.h"
#include "protocol/number.h"
#include "protocol/receiver.h"
#include "serial/serial_port.h"

namespace ulo {
namespace {

constexpr int kAttempts = 5;

// The echo as it is collected: the text from the last "$" or "@".
struct EchoText {
  char *text;  // kLineLimit + 1 bytes
  uint32_t stored = 0;
  bool collecting = false;
};

// Adds c to the echo. True when c is the CR that ends it; the text is then
// terminated, unless it is longer than kLineLimit (it matches no line).
bool Collect(EchoText &echo, char c) {
  if (c == '$' || c == '@') {
    echo.stored = 0;
    echo.collecting = true;
  }
  if (echo.collecting) {
    if (echo.stored < kLineLimit) echo.text[echo.stored] = c;
    ++echo.stored;
  }
  if (c != kCr) return false;
  if (echo.stored <= kLineLimit) echo.text[echo.stored] = '\0';
  return true;
}

bool Matches(const EchoText &echo, const char *line) {
  return echo.stored == std::strlen(line) && std::strcmp(echo.text, line) == 0;
}

// The line came back inside a frame (a controller that frames its echo, or
// a report that reads like the line): it confirms the write, and the frame
// is read to its end and delivered as any report.
int ConfirmInFrame(InstanceWorkspace &ws, FrameCut &frame,
                   const EchoText &framed, char *buffer, uint32_t *length) {
  std::memcpy(buffer, framed.text, framed.stored + 1);
  *length = framed.stored;
  uint32_t taken = 0;
  if (ReadFrame(ws, frame, &taken)) HandleFrame(ws, frame.buffer, frame.stored);
  return kEchoRead;
}

// What a write answers for an echo that could not be read: 1 when no CR
// came in time, 2 when the controller's characters stopped coming.
int32_t EchoFailure(int echoed) {
  return echoed == kEchoNoCr ? ULO_REFUSED : ULO_COMM_FAILURE;
}

// The value of a floating-point gate.
float FloatValue(const GateAccess &gate) {
  float value;
  std::memcpy(&value, gate.value, sizeof value);
  return value;
}

// Formats the line for the gate's type into line (kLineLimit + 1 bytes).
// Returns its length, or a value above kLineLimit when it does not fit.
uint32_t FormatLine(const GateAccess &gate, char *line) {
  char text[512];
  int length = 0;
  text[0] = '\0';
  if (gate.type == ULO_TYPE_FLOAT) {
    char number[kFloatFixedSize];
    FormatFixed(double{FloatValue(gate)}, number, sizeof number);
    length = std::snprintf(text, sizeof text, "%s=%s\r", gate.address, number);
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
  EchoText echo{buffer};
  // A frame (STX to ETX) is not echo: the echo carries on around it, and the
  // frame is delivered as the receiver would deliver it.
  FrameCut frame;
  char framed_text[kLineLimit + 1];
  EchoText framed{framed_text};
  uint32_t outside = 0;
  uint32_t frames = 0;
  *length = 0;
  while (outside < kEchoReadLimit && frames < kFramesPerEcho) {
    char c = 0;
    if (!ReadExact(ws, &c, 1)) {
      err(kTrace, "ULOPR1: Failed to read a character from PLC");
      return kEchoNoCharacter;
    }
    if (!frame.open && c != kStx) {
      ++outside;
      if (Collect(echo, c)) {
        *length = echo.stored;
        return kEchoRead;
      }
      continue;
    }
    if (c == kStx) framed = EchoText{framed_text};
    FrameStep step = CutFrame(frame, c);
    if (step == kFrameGoes) {
      if (Collect(framed, c) && Matches(framed, line))
        return ConfirmInFrame(ws, frame, framed, buffer, length);
      continue;
    }
    if (step == kFrameEnded)
      HandleFrame(ws, frame.buffer, frame.stored);
    else
      err(kTrace, "ULOPRV: Error. ETX not found in PLC Reply!");
    ++frames;
    frame = FrameCut{};
  }
  return kEchoNoCr;
}

int32_t WriteGate(const UloRequest &request) {
  InstanceWorkspace &ws = *static_cast<InstanceWorkspace *>(request.workspace);
  const GateAccess &gate = *static_cast<const GateAccess *>(request.args);
  if (!gate.address || !gate.value) return ULO_REFUSED;
  if (gate.type == ULO_TYPE_FLOAT && !std::isfinite(FloatValue(gate))) {
    err(kMessage, "ULOPR1: Gate %s: value is not a finite number, not sent",
        gate.address);
    return ULO_REFUSED;
  }
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
  Shared(ws.port_use).fetch_or(kWriteBusy);
  WaitReceiverOffPort(ws);
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    if (attempt != 0) err(kTrace, "ULOPR1: write retry #%d", attempt);
    SendPaced(ws, line, line_length);
    char echo[kLineLimit + 1];
    std::memset(echo, 0, sizeof echo);
    uint32_t echo_length = 0;
    int echoed = ReadEcho(ws, line, echo, &echo_length);
    if (echoed != kEchoRead) {
      err(kTrace, "ULOPR1: Failed to read response to write");
      result = EchoFailure(echoed);
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
  Shared(ws.port_use).fetch_and(~kWriteBusy);
  if (result != ULO_DONE)
    err(kMessage, "ULOPR1: Gate %s: Write failed. rc = %d ", gate.address,
        result);
  return result;
}

}  // namespace ulo
