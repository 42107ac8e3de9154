// The receiver's per-report work, piece by piece: reading a frame from a
// pseudo-terminal, handling it (error check, address cut, value, the host's
// gate lookup and store, the trace), checking gate addresses, and the look
// at a quiet port that every host wait costs. The platform layer's own
// costs (one-byte reads and writes, events) are in ulo_platform_bench.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "gates/gates.h"
#include "instance/workspace.h"
#include "protocol/receiver.h"
#include "pty.h"
#include "serial/serial_port.h"
#include "zempro/control.h"

namespace {

constexpr char kFrame[] =
    "\x02"
    "01$T1=21.5\r\x03";
constexpr uint32_t kFrameLength = sizeof kFrame - 1;
constexpr int kFramesPerBurst = 64;  // what one look at the port takes

// A workspace on a pseudo-terminal opened the driver's way, with a host
// client and, for every instance up to `instances`, gates for a
// controller's eleven points.
struct Instance {
  explicit Instance(int instances = 1) {
    zempro::Reset();
    std::memset(&ws, 0, sizeof ws);
    std::string error;
    if (!ulo::tools::OpenPty(pty, error)) return;
    ulo::OpenPort(pty.path.c_str(), LineSettings{9600, 8, 0, 0}, 0, &ws.port);
    ws.instance = 1;
    Zem5MkClient("PR1_No_01", 1, 0, ws.client);
    const char *addresses[] = {"$T1",  "$T2",  "$T3",  "$T4",  "$SP1", "$SP2",
                               "$SP3", "@DO1", "@DO2", "@DO3", "@DO4"};
    for (int instance = 1; instance <= instances; ++instance) {
      for (const char *address : addresses) {
        zempro::DefineGate(static_cast<uint8_t>(instance), address,
                           ULO_TYPE_FLOAT);
      }
    }
  }
  ~Instance() {
    ulo::ClosePort(ws.port);
    ulo::tools::ClosePty(pty);
    zempro::Reset();
  }
  ulo::InstanceWorkspace ws;
  ulo::tools::Pty pty;
};

void BM_ReadFrame(benchmark::State &state) {
  Instance instance;
  std::string burst;
  for (int i = 0; i < kFramesPerBurst; ++i) burst += kFrame;
  uint32_t taken = 0;
  for (auto _ : state) {
    state.PauseTiming();
    if (write(instance.pty.master, burst.data(), burst.size()) < 0) break;
    state.ResumeTiming();
    for (int i = 0; i < kFramesPerBurst; ++i) {
      ulo::FrameCut cut;
      benchmark::DoNotOptimize(ulo::ReadFrame(instance.ws, cut, &taken));
    }
  }
  state.SetItemsProcessed(state.iterations() * kFramesPerBurst);
  state.SetBytesProcessed(state.iterations() *
                          static_cast<int64_t>(burst.size()));
}
BENCHMARK(BM_ReadFrame);

// A report handed to the host, with gates defined for Arg(0) instances:
// the host's lookup by address is part of the cost.
void BM_HandleReport(benchmark::State &state) {
  Instance instance(static_cast<int>(state.range(0)));
  char buffer[ulo::kFrameBufferSize];
  for (auto _ : state) {
    std::memcpy(buffer, kFrame, sizeof kFrame);
    ulo::HandleFrame(instance.ws, buffer, kFrameLength);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_HandleReport)->Arg(1)->Arg(64)->Arg(255);

void BM_CheckErrorReply(benchmark::State &state) {
  const char *text = state.range(0) ? "ERROR 13\r" : "$T1=21.5\r";
  char buffer[ulo::kFrameBufferSize];
  uint32_t length = static_cast<uint32_t>(std::strlen(text));
  for (auto _ : state) {
    std::memcpy(buffer, text, length + 1);
    benchmark::DoNotOptimize(ulo::CheckErrorReply(buffer, length));
  }
}
BENCHMARK(BM_CheckErrorReply)->ArgName("error")->Arg(0)->Arg(1);

// Command 3 on a data gate, a status gate and a refused address.
void BM_CheckGateAddress(benchmark::State &state) {
  static const char *const kAddresses[] = {"$sp1", "status", "X1"};
  ulo::InstanceWorkspace ws;
  std::memset(&ws, 0, sizeof ws);
  GateDefinition gate{};
  gate.address = kAddresses[state.range(0)];
  gate.type = ULO_TYPE_DIGITAL;
  UloRequest request{&ws, ULO_CMD_CHECK_GATE, 1, 0, &gate};
  for (auto _ : state) {
    benchmark::DoNotOptimize(ulo::CheckGate(request));
  }
  state.SetLabel(gate.address);
}
BENCHMARK(BM_CheckGateAddress)->DenseRange(0, 2);

// What each host wait costs on a quiet line, besides the wait itself.
void BM_LookAtQuietPort(benchmark::State &state) {
  Instance instance;
  for (auto _ : state) {
    benchmark::DoNotOptimize(ulo::BytesWaiting(instance.ws.port));
  }
}
BENCHMARK(BM_LookAtQuietPort);

}  // namespace

BENCHMARK_MAIN();
