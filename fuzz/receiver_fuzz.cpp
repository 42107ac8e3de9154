// The bytes a controller sends, through the receiver's frame reader, its
// error check and the delivery to the host, on a port of the platform layer
// (its reads, input-queue counts and read-ahead). Every frame the receiver
// finds waiting is read, as in one look at the port.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "fake_line.h"
#include "protocol/receiver.h"
#include "serial/serial_port.h"
#include "zempro/control.h"

namespace ulo::fuzzing {
namespace {

struct Host {
  Host() {
    InstallFakeLine();
    for (const char *address : {"$T1", "@DO3", "$", "@", "$A=B", "$T1 "})
      zempro::DefineGate(kInstance, address, ULO_TYPE_FLOAT);
    zempro::Subscribe([this](const zempro::GateInfo &,
                             const zempro::GateValue &) { ++delivered; });
  }
  uint64_t delivered = 0;
};

}  // namespace
}  // namespace ulo::fuzzing

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  using namespace ulo;
  using namespace ulo::fuzzing;
  static Host host;
  FeedLine(data, size);
  InstanceWorkspace ws;
  StartOnLine(ws);
  uint64_t before = host.delivered;
  uint32_t waiting = BytesWaiting(ws.port);
  Require(waiting == size, "every byte counts as waiting");
  uint64_t taken = 0;
  while (BytesWaiting(ws.port) > 0) {
    FrameCut cut;
    uint32_t bytes = 0;
    bool read = ReadFrame(ws, cut, &bytes);
    Require(bytes >= 1 && bytes <= kCutLimit + 1, "a frame read is bounded");
    taken += bytes;
    if (!read) continue;
    Require(cut.stored >= 1 && cut.stored <= kFrameLimit,
            "a frame fits its buffer");
    Require(cut.buffer[cut.stored - 1] == kEtx, "a frame ends in ETX");
    Require(cut.buffer[cut.stored] == '\0', "the frame is terminated");
    HandleFrame(ws, cut.buffer, cut.stored);
  }
  Require(taken == size, "every byte read is counted once");
  Require(ClosePort(ws.port) == kPortOk, "the line closes");
  // A value is delivered only for a frame, and a frame ends in ETX.
  uint64_t frames = uint64_t(std::count(data, data + size, kEtx));
  Require(host.delivered - before <= frames, "no more values than frames");
  return 0;
}
