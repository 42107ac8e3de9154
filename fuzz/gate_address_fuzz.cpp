// Gate addresses from the host: the check of command 3, the read of
// command 5 and the two ways of upper-casing them, on any bytes.
//
// Input: a type byte, then the address (up to the first zero byte).
#include <cstdint>
#include <cstring>
#include <string>

#include "fake_line.h"
#include "gates/gates.h"
#include "platform/os.h"
#include "protocol/receiver.h"
#include "zempro/control.h"

namespace {

constexpr int32_t kInstance = 7;

struct Host {
  // STATUS reads send the restart message paced; sleeps take no time here.
  Host() { ulo::fuzzing::InstallFakeLine(); }
};

int32_t Call(ulo::InstanceWorkspace &ws, int32_t command, void *args) {
  UloRequest request{&ws, command, kInstance, 0, args};
  return UloMain(&request);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  using namespace ulo;
  using ulo::fuzzing::Require;
  static Host host;
  if (size < 1) return 0;
  std::string address(reinterpret_cast<const char *>(data) + 1, size - 1);
  address.resize(std::strlen(address.c_str()));
  const auto *bytes = reinterpret_cast<const unsigned char *>(address.c_str());
  size_t length = address.size();

  // The scratch: every byte from 97 up moves down by 32, the rest is zeros.
  InstanceWorkspace ws{};
  std::memset(ws.address, 0x55, sizeof ws.address);
  UppercaseAddress(ws, address.c_str());
  for (size_t i = 0; i < sizeof ws.address; ++i) {
    unsigned char want = 0;
    if (i < length && i < sizeof ws.address - 1)
      want = bytes[i] >= 97 ? bytes[i] - 32 : bytes[i];
    Require(static_cast<unsigned char>(ws.address[i]) == want,
            "the scratch holds the shifted address");
  }

  // _strupr changes letters a to z and nothing else.
  std::string upper = address;
  _strupr(upper.data());
  for (size_t i = 0; i < length; ++i) {
    unsigned char c = bytes[i];
    unsigned char want = c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c;
    Require(static_cast<unsigned char>(upper[i]) == want,
            "_strupr changes only letters");
  }

  GateDefinition definition{};
  definition.address = address.c_str();
  definition.input = 1234;
  definition.type = data[0];
  int32_t checked = Call(ws, ULO_CMD_CHECK_GATE, &definition);
  Require(checked == ULO_DONE || checked == ULO_REFUSED,
          "a check answers 0 or 1");
  Require(definition.v255 == 255 && definition.zero16 == 0 &&
              definition.zero20 == 0,
          "a check fills its constant fields");
  Require(checked == ULO_REFUSED || length <= kAddressLimit,
          "long addresses are refused");
  bool data_gate = length > 0 && (bytes[0] == '$' || bytes[0] == '@');
  if (checked == ULO_DONE && data_gate) {
    Require(definition.copy24 == 1234, "a data gate takes its input");
    Require(definition.width == (data[0] == ULO_TYPE_FLOAT ? 32 : 16),
            "a data gate gets its width");
  }

  unsigned char value[8] = {0, 0, 0x77, 0x77};
  GateAccess gate{};
  gate.address = address.c_str();
  gate.type = ULO_TYPE_DIGITAL;
  gate.value = value;
  int32_t read = Call(ws, ULO_CMD_READ_GATE, &gate);
  bool status = upper == "STATUS" || upper == "COM";
  Require(status || read == ULO_REFUSED, "only STATUS and COM are read");
  Require(status || (value[2] == 0x77 && value[3] == 0x77),
          "a refused read writes nothing");
  return 0;
}
