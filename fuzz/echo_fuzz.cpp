// A confirmed write (command 7) against whatever the controller answers:
// the line is formatted from the gate, sent, and the bytes that come back go
// through the echo reader, which also delivers reports that arrive meanwhile.
//
// Input: a type byte (3 floating point, 6 digital, anything else as is), four
// value bytes, the gate address up to a newline, then the controller's bytes.
#include <algorithm>
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

// The line command 7 sends for the gate, as the controller expects it.
std::string ExpectedLine(const GateAccess &gate) {
  char text[512] = "";
  const auto *value = static_cast<const unsigned char *>(gate.value);
  if (gate.type == ULO_TYPE_FLOAT) {
    float number;
    std::memcpy(&number, value, sizeof number);
    std::snprintf(text, sizeof text, "%s=%f\r", gate.address, double{number});
  } else if (gate.type == ULO_TYPE_DIGITAL) {
    std::snprintf(text, sizeof text, "%s=%u\r", gate.address,
                  unsigned(value[2] | value[3] << 8));
  }
  return text;
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

  FeedLine(reinterpret_cast<const uint8_t *>(answer.data()), answer.size());
  InstanceWorkspace ws;
  StartOnLine(ws);
  unsigned char value[8] = {};
  std::memcpy(value, data + 1, 4);
  GateAccess gate{};
  gate.address = address.c_str();
  gate.type = data[0];
  gate.value = value;
  UloRequest request{&ws, ULO_CMD_WRITE_GATE, kInstance, 0, &gate};
  int32_t result = UloMain(&request);
  Require(
      result == ULO_DONE || result == ULO_REFUSED || result == ULO_COMM_FAILURE,
      "a write answers 0, 1 or 2");
  Require(Shared(ws.write_busy).load() == 0, "the write lets the port go");

  // Every attempt sends the same line, of at most 49 characters, and a
  // confirmed write saw it come back.
  std::string line = ExpectedLine(gate);
  const std::string &sent = LineWritten();
  if (line.size() > kLineLimit) {
    Require(result == ULO_REFUSED && sent.empty(), "long lines are not sent");
  } else if (line.empty()) {
    Require(sent.empty(), "a gate of another type sends nothing");
  } else {
    size_t attempts = sent.size() / line.size();
    Require(attempts >= 1 && attempts <= 5, "one to five attempts");
    Require(sent == Repeat(line, attempts), "attempts repeat the line whole");
    Require(result != ULO_DONE || answer.find(line) != std::string_view::npos,
            "a confirmation is the line echoed");
  }
  Require(ClosePort(ws.port) == kPortOk, "the line closes");
  return 0;
}
