// The host runtime under the load the driver puts on it: one receiver thread
// per instance logging, looking up gates and storing values while the host
// stops them.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "zempro/control.h"

namespace zempro {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr int kInstances = 64;

struct Receiver {
  uint8_t client = 0;
  std::future<uint64_t> reports;  // values stored until told to stop
};

// What a receiver does: wait, report, log, until the host says stop.
uint64_t ReceiverLoop(uint8_t client, uint8_t instance) {
  uint64_t reports = 0;
  uint8_t message[28];
  while (Zem5WaitMsg(client, message, 1) != 0) {
    int32_t gate = 0;
    if (Zem5GetGateIdByAddressStr(client, instance, "$T1", &gate) != 0 ||
        Zem5PutGateVal(client, gate, 2, static_cast<double>(reports), 0, 0) !=
            0) {
      err(ZEM_CLASS_MESSAGE, "lost report on %d", instance);
      continue;
    }
    ++reports;
    err(ZEM_CLASS_TRACE, "UloPR1: report on %d", instance);
  }
  Zem5RmClient(client);
  return reports;
}

TEST(Concurrency, ManyReceiversWhileTheHostStopsThem) {
  Reset();
  SetWaitMilliseconds(1);
  MemoryLog log;
  std::atomic<uint64_t> notified{0};
  Subscribe([&](const GateInfo &, const GateValue &) { ++notified; });

  std::vector<Receiver> receivers(kInstances);
  for (int i = 0; i < kInstances; ++i) {
    const auto instance = static_cast<uint8_t>(i + 1);
    DefineGate(instance, "$T1", 3);
    uint8_t field[5] = {};
    const std::string name = "PR1_No_" + std::to_string(instance);
    ASSERT_EQ(Zem5MkClient(name.c_str(), 1, 0, field), 0);
    receivers[i].client = field[0];
    receivers[i].reports =
        std::async(std::launch::async, ReceiverLoop, field[0], instance);
  }

  // The host's own traffic meanwhile: reads, sinks coming and going.
  std::atomic<bool> host_done{false};
  std::thread host([&] {
    while (!host_done) {
      const int sink = AddLogSink([](const LogRecord &) {});
      Gates();
      ReadGate(1, "$T1");
      Clients();
      RemoveLogSink(sink);
    }
  });

  const auto deadline = std::chrono::steady_clock::now() + seconds(60);
  while (notified < 10 * kInstances &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(milliseconds(1));
  }
  for (int i = 0; i < kInstances / 2; ++i) StopClient(receivers[i].client);
  StopAllClients();

  uint64_t total = 0;
  for (int i = 0; i < kInstances; ++i) {
    auto &receiver = receivers[i];
    ASSERT_EQ(receiver.reports.wait_for(seconds(30)),
              std::future_status::ready);
    const uint64_t reports = receiver.reports.get();
    total += reports;
    const auto instance = static_cast<uint8_t>(i + 1);
    const auto value = ReadGate(instance, "$T1");
    ASSERT_EQ(value.has_value(), reports > 0);
    if (value) {
      EXPECT_EQ(value->updates, reports);
      EXPECT_EQ(value->value, static_cast<double>(reports - 1));
    }
    EXPECT_EQ(log.Count(ZEM_CLASS_TRACE,
                        "UloPR1: report on " + std::to_string(instance)),
              static_cast<int>(reports));
  }
  host_done = true;
  host.join();

  EXPECT_GE(total, 10u * kInstances);
  EXPECT_EQ(notified, total);
  EXPECT_EQ(log.Records().size(), total);
  EXPECT_TRUE(Clients().empty());
  Reset();
  SetWaitRange(kDefaultShortestWaitMs, kDefaultLongestWaitMs);
}

}  // namespace
}  // namespace zempro
