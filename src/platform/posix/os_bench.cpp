// The costs the driver's hot paths pay: a one-byte read served from the
// read-ahead, a one-byte write, and an event signalled and taken.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/os.h"
#include "pty.h"

namespace {

struct Line {
  Line() {
    std::string error;
    if (!ulo::tools::OpenPty(pty, error)) return;
    port = CreateFileA(pty.path.c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                       nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, 0);
    COMMTIMEOUTS timeouts{0, 0, 1000, 0, 0};
    DCB dcb{};
    dcb.BaudRate = 9600;
    dcb.ByteSize = 8;
    SetCommTimeouts(port, &timeouts);
    SetCommState(port, &dcb);
  }
  ~Line() {
    CloseHandle(port);
    ulo::tools::ClosePty(pty);
  }
  ulo::tools::Pty pty;
  HANDLE port = INVALID_HANDLE_VALUE;
};

void BM_ReadOneByte(benchmark::State &state) {
  Line line;
  std::vector<char> burst(512, 'r');
  char byte;
  DWORD got;
  for (auto _ : state) {
    state.PauseTiming();
    if (write(line.pty.master, burst.data(), burst.size()) < 0) break;
    ReadFile(line.port, &byte, 1, &got, nullptr);  // fills the read-ahead
    state.ResumeTiming();
    for (size_t i = 1; i < burst.size(); ++i) {
      ReadFile(line.port, &byte, 1, &got, nullptr);
    }
  }
  state.SetItemsProcessed(state.iterations() * (burst.size() - 1));
}
BENCHMARK(BM_ReadOneByte);

void BM_WriteOneByte(benchmark::State &state) {
  Line line;
  char sink[4096];
  DWORD written;
  for (auto _ : state) {
    WriteFile(line.port, "w", 1, &written, nullptr);
    state.PauseTiming();
    if (read(line.pty.master, sink, sizeof sink) < 0) break;
    state.ResumeTiming();
  }
}
BENCHMARK(BM_WriteOneByte);

void BM_SetAndWaitEvent(benchmark::State &state) {
  HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  for (auto _ : state) {
    SetEvent(event);
    benchmark::DoNotOptimize(WaitForSingleObject(event, 0));
  }
  CloseHandle(event);
}
BENCHMARK(BM_SetAndWaitEvent);

}  // namespace

BENCHMARK_MAIN();
