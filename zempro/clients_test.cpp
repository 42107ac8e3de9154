// Message clients: ids, waits, stopping and removal.
#include <gtest/gtest.h>

#include <array>
#include <future>
#include <set>
#include <thread>

#include "zempro/control.h"

namespace zempro {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

class ClientTest : public testing::Test {
 protected:
  void SetUp() override { Reset(); }
  void TearDown() override {
    Reset();
    SetWaitRange(kDefaultShortestWaitMs, kDefaultLongestWaitMs);
  }

  static uint8_t Make(const std::string &name) {
    uint8_t field[5] = {};
    EXPECT_EQ(Zem5MkClient(name.c_str(), 1, 0, field), 0);
    return field[0];
  }
};

TEST_F(ClientTest, IdGoesIntoTheFirstByteOnly) {
  std::array<uint8_t, 16> area;
  area.fill(0xA5);
  ASSERT_EQ(Zem5MkClient("PR1_No_01", 1, 0, area.data() + 4), 0);
  EXPECT_NE(area[4], 0);
  for (std::size_t i = 0; i < area.size(); ++i) {
    if (i != 4) {
      EXPECT_EQ(area[i], 0xA5) << "byte " << i;
    }
  }
  EXPECT_EQ(FindClient("PR1_No_01"), area[4]);
}

TEST_F(ClientTest, HandsOut255DistinctNonZeroIdsThenRefuses) {
  std::set<uint8_t> ids;
  for (int i = 0; i < 255; ++i) ids.insert(Make("c" + std::to_string(i)));
  EXPECT_EQ(ids.size(), 255u);
  EXPECT_EQ(ids.count(0), 0u);
  uint8_t field[5] = {0x77, 0x77, 0x77, 0x77, 0x77};
  EXPECT_NE(Zem5MkClient("one too many", 1, 0, field), 0);
  EXPECT_EQ(field[0], 0x77);
  ASSERT_EQ(Zem5RmClient(*ids.begin()), 0);
  EXPECT_EQ(Zem5MkClient("fits again", 1, 0, field), 0);
  EXPECT_EQ(field[0], *ids.begin());
}

TEST_F(ClientTest, RefusesBadArgumentsAndInjectedFailure) {
  uint8_t field[5] = {};
  EXPECT_NE(Zem5MkClient(nullptr, 1, 0, field), 0);
  EXPECT_NE(Zem5MkClient("x", 1, 0, nullptr), 0);
  FailMakeClient(7);
  EXPECT_EQ(Zem5MkClient("x", 1, 0, field), 7);
  EXPECT_EQ(Zem5MkClient("x", 1, 0, field), 7);
  EXPECT_TRUE(Clients().empty());
  FailMakeClient(0);
  EXPECT_EQ(Zem5MkClient("x", 1, 0, field), 0);
  FailMakeClient(9);
  Reset();
  EXPECT_EQ(Zem5MkClient("x", 1, 0, field), 0);
}

TEST_F(ClientTest, DuplicateNamesGetTheirOwnIds) {
  const uint8_t older = Make("PR1_No_02");
  const uint8_t newer = Make("PR1_No_02");
  EXPECT_NE(older, newer);
  EXPECT_EQ(FindClient("PR1_No_02"), newer);
  ASSERT_EQ(Zem5RmClient(newer), 0);
  EXPECT_EQ(FindClient("PR1_No_02"), older);
  EXPECT_FALSE(WaitClientGone("PR1_No_02", milliseconds(1)));
  ASSERT_EQ(Zem5RmClient(older), 0);
  EXPECT_FALSE(FindClient("PR1_No_02").has_value());
  EXPECT_NE(Zem5RmClient(older), 0);
}

TEST_F(ClientTest, WaitGoesOnUntilStopped) {
  SetWaitMilliseconds(1);
  const uint8_t id = Make("PR1_No_03");
  uint8_t message[28];
  EXPECT_EQ(Zem5WaitMsg(id, message, 1), 1);
  EXPECT_EQ(Zem5WaitMsg(id, message, 1), 1);
  StopClient(id);
  EXPECT_EQ(Zem5WaitMsg(id, message, 1), 0);
  EXPECT_TRUE(Clients().at(0).stopping);
  EXPECT_EQ(Zem5WaitMsg(0, message, 1), 0);
  EXPECT_EQ(Zem5WaitMsg(static_cast<uint8_t>(id + 1), message, 1), 0);
}

TEST_F(ClientTest, StopEndsAWaitAtOnce) {
  SetWaitMilliseconds(10 * 60 * 1000);
  const uint8_t id = Make("PR1_No_04");
  auto waiting = std::async(std::launch::async, [id] {
    uint8_t message[28];
    return Zem5WaitMsg(id, message, 1);
  });
  EXPECT_EQ(waiting.wait_for(milliseconds(50)), std::future_status::timeout);
  StopClient(id);
  ASSERT_EQ(waiting.wait_for(seconds(30)), std::future_status::ready);
  EXPECT_EQ(waiting.get(), 0);
}

TEST_F(ClientTest, StopAllReachesEveryClientButNotLaterOnes) {
  SetWaitMilliseconds(1);
  const uint8_t a = Make("a");
  const uint8_t b = Make("b");
  StopAllClients();
  const uint8_t c = Make("c");
  uint8_t message[28];
  EXPECT_EQ(Zem5WaitMsg(a, message, 1), 0);
  EXPECT_EQ(Zem5WaitMsg(b, message, 1), 0);
  EXPECT_EQ(Zem5WaitMsg(c, message, 1), 1);
}

TEST_F(ClientTest, RemovalWakesWaitClientGone) {
  const uint8_t id = Make("PR1_No_05");
  auto gone = std::async(std::launch::async, [] {
    return WaitClientGone("PR1_No_05", seconds(30));
  });
  std::this_thread::sleep_for(milliseconds(20));
  ASSERT_EQ(Zem5RmClient(id), 0);
  EXPECT_TRUE(gone.get());
}

// Traffic keeps the wait at its shortest; quiet waits double it.
TEST_F(ClientTest, AdaptiveWaitDropsBackOnTrafficAndGrowsWhenQuiet) {
  SetWaitRange(1, 10 * 60 * 1000);
  const uint8_t id = Make("PR1_No_06");
  const int32_t gate = DefineGate(6, "$T1", 3);
  auto run = std::async(std::launch::async, [id, gate] {
    uint8_t message[28];
    for (int i = 0; i < 40; ++i) {
      EXPECT_EQ(Zem5WaitMsg(id, message, 1), 1);
      EXPECT_EQ(Zem5PutGateVal(id, gate, 2, i, 0, 0), 0);
    }
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 10; ++i) EXPECT_EQ(Zem5WaitMsg(id, message, 1), 1);
    return std::chrono::steady_clock::now() - start;
  });
  const bool done = run.wait_for(seconds(60)) == std::future_status::ready;
  if (!done) StopClient(id);
  ASSERT_TRUE(done);
  // 1 + 2 + 4 + ... + 512 ms at the least.
  EXPECT_GE(run.get(), milliseconds(1023));
}

}  // namespace
}  // namespace zempro
