// A confirmed write (command 7) against whatever the controller answers:
// the line is formatted from the gate, sent, and the bytes that come back go
// through the echo reader, which also delivers reports that arrive meanwhile.
//
// Input: a type byte (3 floating point, 6 digital, anything else as is), four
// value bytes, the gate address up to a newline, then the controller's bytes.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "fake_line.h"
#include "protocol/write.h"
#include "serial/serial_port.h"
#include "zempro/control.h"

namespace ulo::fuzzing {
namespace {

constexpr size_t kHead = 5;

struct Host {
  Host() {
    InstallFakeLine();
    zempro::DefineGate(kInstance, "$T1", ULO_TYPE_FLOAT);
    zempro::DefineGate(kInstance, "@DO3", ULO_TYPE_DIGITAL);
  }
};

// The line command 7 must send for the gate, as the controller expects it:
// the address, "=", the value (a float in the C library's "%f" form, six
// decimals and a point; a digital value in decimal), CR. Empty for a gate of
// another type or a value that is not a finite number: nothing may be sent.
std::string ExpectedLine(const GateAccess &gate) {
  const auto *value = static_cast<const unsigned char *>(gate.value);
  std::string line = std::string(gate.address) + "=";
  if (gate.type == ULO_TYPE_FLOAT) {
    float number;
    std::memcpy(&number, value, sizeof number);
    if (!std::isfinite(number)) return "";
    char text[64];
    std::snprintf(text, sizeof text, "%f", double{number});
    return line + text + "\r";
  }
  if (gate.type == ULO_TYPE_DIGITAL)
    return line + std::to_string(value[2] | value[3] << 8) + "\r";
  return "";
}

// Whether the characters of part come in text in their order (frames may
// come between the characters of an echo).
bool InOrder(std::string_view part, std::string_view text) {
  for (char c : text)
    if (!part.empty() && c == part.front()) part.remove_prefix(1);
  return part.empty();
}

// Command 7 for the gate against a controller that sends answer, over and
// over until total bytes have gone (once when total is 0).
int32_t Write(GateAccess &gate, std::string_view answer, size_t total) {
  FeedLine(reinterpret_cast<const uint8_t *>(answer.data()), answer.size(),
           total);
  InstanceWorkspace ws;
  StartOnLine(ws);
  UloRequest request{&ws, ULO_CMD_WRITE_GATE, kInstance, 0, &gate};
  int32_t result = UloMain(&request);
  Require(
      result == ULO_DONE || result == ULO_REFUSED || result == ULO_COMM_FAILURE,
      "a write answers 0, 1 or 2");
  Require(Shared(ws.port_use).load() == 0, "the write lets the port go");
  Require(ClosePort(ws.port) == kPortOk, "the line closes");
  return result;
}

std::string Repeat(const std::string &text, size_t times) {
  std::string out;
  for (size_t i = 0; i < times; ++i) out += text;
  return out;
}

}  // namespace
}  // namespace ulo::fuzzing

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  using namespace ulo;
  using namespace ulo::fuzzing;
  static Host host;
  if (size < kHead) return 0;
  std::string_view rest(reinterpret_cast<const char *>(data) + kHead,
                        size - kHead);
  size_t newline = std::min(rest.find('\n'), rest.size());
  std::string address(rest.substr(0, newline));
  address.resize(std::strlen(address.c_str()));  // as the host passes it
  std::string_view answer = rest.substr(std::min(newline + 1, rest.size()));

  unsigned char value[8] = {};
  std::memcpy(value, data + 1, 4);
  GateAccess gate{};
  gate.address = address.c_str();
  gate.type = data[0];
  gate.value = value;
  int32_t result = Write(gate, answer, 0);

  // Every attempt sends the same line, of at most 49 characters, and a
  // confirmed write saw it come back.
  std::string line = ExpectedLine(gate);
  const std::string &sent = LineWritten();
  if (line.size() > kLineLimit) {
    Require(result == ULO_REFUSED && sent.empty(), "long lines are not sent");
  } else if (line.empty()) {
    Require(sent.empty(), "no line, nothing sent");
  } else {
    size_t attempts = sent.size() / line.size();
    Require(attempts >= 1 && attempts <= 5, "one to five attempts");
    Require(sent == Repeat(line, attempts), "attempts repeat the line whole");
    Require(result != ULO_DONE || InOrder(line, answer),
            "a confirmation is the line echoed");
  }

  // A controller that keeps sending the same answer (reports, noise, a
  // wrong echo) for ever: the write still ends by its own bounds, five echo
  // reads of a bounded length, not by the line running dry.
  if (!answer.empty()) {
    Write(gate, answer, 5 * kEchoByteBound + 1);
    Require(LineRead() <= 5 * kEchoByteBound,
            "a write ends within its bound whatever the controller sends");
  }
  return 0;
}
