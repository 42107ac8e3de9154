#include "protocol/receiver.h"

#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "driver_fixture.h"

namespace ulo::testing {
namespace {

constexpr auto kWait = 5000ms;

class ReceiverTest : public DriverTest {
 protected:
  void SetUp() override {
    t1_ = zempro::DefineGate(kInstance, "$T1", ULO_TYPE_FLOAT);
    do3_ = zempro::DefineGate(kInstance, "@DO3", ULO_TYPE_DIGITAL);
    StartQuiet();
  }
  // Waits until the gate has received `updates` values.
  bool WaitUpdates(int32_t gate, uint64_t updates) {
    auto until = SteadyClock::now() + kWait;
    while (SteadyClock::now() < until) {
      auto value = zempro::ReadGateById(gate);
      if (value && value->updates >= updates) return true;
      std::this_thread::sleep_for(2ms);
    }
    return false;
  }
  int32_t t1_ = 0, do3_ = 0;
};

TEST_F(ReceiverTest, StrayBytesThenAFrameDeliverTheValueAndTraceIt) {
  controller_->Send("xy" + Frame("$T1=21.5"));
  ASSERT_TRUE(WaitUpdates(t1_, 1));
  EXPECT_DOUBLE_EQ(zempro::ReadGateById(t1_)->value, 21.5);
  EXPECT_TRUE(log_.WaitFor(8, "ULOPR1: $T1 received from ULO 7", 1, kWait));
  // The stray bytes were part of what the look took: it does not go on to
  // wait for a frame the quiet line never sends.
  EXPECT_FALSE(log_.WaitFor(8, "ULOPR1: Failed to read a character from PLC", 1,
                            1500ms));
}

TEST_F(ReceiverTest, ValuesConvertAsDecimalTextDoes) {
  controller_->Send(Frame("@DO3=1") + Frame("$T1= -2.5e1xyz"));
  ASSERT_TRUE(WaitUpdates(t1_, 1));
  EXPECT_DOUBLE_EQ(zempro::ReadGateById(t1_)->value, -25.0);
  EXPECT_DOUBLE_EQ(zempro::ReadGateById(do3_)->value, 1.0);
  controller_->Send(Frame("$T1=abc"));
  ASSERT_TRUE(WaitUpdates(t1_, 2));
  EXPECT_DOUBLE_EQ(zempro::ReadGateById(t1_)->value, 0.0);
}

TEST_F(ReceiverTest, ErrorRepliesAreLoggedNotDelivered) {
  controller_->Send(Frame("ERROR 13") + Frame("ERROR 0") + Frame("$T1=4"));
  ASSERT_TRUE(WaitUpdates(t1_, 1));
  EXPECT_EQ(log_.Count(32, "ULOPR1: ERROR 13"), 1);
  // An error number of 0 is treated as a report, which has no "=".
  EXPECT_EQ(log_.Count(8, "ULOPR1: ERROR 0 received from ULO 7"), 1);
  EXPECT_DOUBLE_EQ(zempro::ReadGateById(t1_)->value, 4.0);
}

TEST_F(ReceiverTest, ReportsWithoutEqualsOrForUnknownGatesDeliverNothing) {
  controller_->Send(Frame("$T1 21.5") + Frame("$T9=3") + Frame("$T1=5"));
  ASSERT_TRUE(WaitUpdates(t1_, 1));
  EXPECT_DOUBLE_EQ(zempro::ReadGateById(t1_)->value, 5.0);
  EXPECT_EQ(log_.Count(8, "ULOPR1: $T1 21.5 received from ULO 7"), 1);
  EXPECT_EQ(log_.Count(8, "UloPR1: ULO 7, Gate $T9 not defined in Drevak!"), 1);
  EXPECT_EQ(log_.Count(8, "ULOPR1: $T9 received from ULO 7"), 1);
}

TEST_F(ReceiverTest, ShortFramesAreDroppedAndFourBytesTraceOnlyEtx) {
  controller_->Send(
      "\x02"
      "1\x03" +
      std::string("\x02"
                  "12\x03") +
      Frame("$T1=1"));
  ASSERT_TRUE(WaitUpdates(t1_, 1));
  EXPECT_EQ(log_.Count(8, "ULOPR1: \x03 received from ULO 7"), 1);
}

TEST_F(ReceiverTest,
       NinetyEightBytesWithoutEtxAreDroppedAndTheNextFrameIsRead) {
  controller_->Send("\x02" + std::string(97, 'a'));
  controller_->Send("Z" + Frame("$T1=8"));
  ASSERT_TRUE(WaitUpdates(t1_, 1));
  EXPECT_EQ(log_.Count(8, "ULOPRV: Error. ETX not found in PLC Reply!"), 1);
  EXPECT_DOUBLE_EQ(zempro::ReadGateById(t1_)->value, 8.0);
}

TEST_F(ReceiverTest, AFrameCutShortByASilentLineIsDropped) {
  controller_->Send(
      "\x02"
      "01$T1=3");
  EXPECT_TRUE(
      log_.WaitFor(8, "ULOPR1: Failed to read a character from PLC", 1, kWait));
  controller_->Send(Frame("$T1=9"));
  ASSERT_TRUE(WaitUpdates(t1_, 1));
  EXPECT_DOUBLE_EQ(zempro::ReadGateById(t1_)->value, 9.0);
}

TEST_F(ReceiverTest, LongAddressesAreRefusedNotCut) {
  std::string name32 = "$" + std::string(31, 'A');
  zempro::DefineGate(kInstance, name32.substr(0, 31), ULO_TYPE_FLOAT);
  int32_t cut = zempro::Gates().back().id;
  controller_->Send(Frame(name32 + "=1") + Frame("$T1=2"));
  ASSERT_TRUE(WaitUpdates(t1_, 1));
  EXPECT_FALSE(zempro::ReadGateById(cut).has_value());
  EXPECT_EQ(log_.Count(8, "UloPR1: ULO 7, Gate address " + name32 +
                              " longer than 31 characters!"),
            1);
}

TEST_F(ReceiverTest, ARefusedValueIsLogged) {
  zempro::RefuseGate(t1_, true);
  controller_->Send(Frame("$T1=1"));
  EXPECT_TRUE(log_.WaitFor(
      32, "UloPR1: Write gate id " + std::to_string(t1_) + " failed", 1,
      kWait));
}

TEST_F(ReceiverTest, ABurstLargerThanTheInputQueueIsDeliveredWhole) {
  // Every point at once, as after the restart message, with a slow host.
  zempro::SetWaitMilliseconds(300);
  std::this_thread::sleep_for(350ms);
  std::string burst;
  for (int i = 0; i < 200; ++i) burst += Frame("$T1=" + std::to_string(i));
  controller_->Send(burst);
  ASSERT_TRUE(WaitUpdates(t1_, 200));
  EXPECT_DOUBLE_EQ(zempro::ReadGateById(t1_)->value, 199.0);
}

TEST_F(ReceiverTest, WhatArrivedDuringAWaitIsTakenInOneLook) {
  // A host that waits long: whatever the line brought in meanwhile is read
  // at the next look, not a share of it per wait, or a busy line would
  // outrun the receiver.
  zempro::SetWaitMilliseconds(300);
  std::this_thread::sleep_for(350ms);
  std::mutex mutex;
  std::vector<SteadyClock::time_point> stored;
  int subscription = zempro::Subscribe(
      [&](const zempro::GateInfo &, const zempro::GateValue &) {
        std::lock_guard lock(mutex);
        stored.push_back(SteadyClock::now());
      });
  std::string burst;
  for (int i = 0; i < 200; ++i) burst += Frame("$T1=" + std::to_string(i));
  controller_->Send(burst);
  ASSERT_TRUE(WaitUpdates(t1_, 200));
  zempro::Unsubscribe(subscription);
  ASSERT_EQ(stored.size(), 200u);
  EXPECT_LT(stored.back() - stored.front(), 300ms);
}

TEST_F(ReceiverTest, StopsWhenTheHostSaysSo) {
  StopReceiver();
  EXPECT_TRUE(Shared(ws_.thread_ended).load() & kThreadEnded);
  EXPECT_FALSE(zempro::FindClient(kClientName).has_value());
  controller_->Send(Frame("$T1=1"));
  std::this_thread::sleep_for(200ms);
  EXPECT_FALSE(zempro::ReadGateById(t1_).has_value());
}

TEST(CheckErrorReply, CutsAtTheFirstCrAndReadsTheNumber) {
  char text[] = "ERROR  42\rtail";
  EXPECT_EQ(CheckErrorReply(text, sizeof text - 1), 42);
  EXPECT_STREQ(text, "ERROR  42");
  char lower[] = "error 5\r";
  EXPECT_EQ(CheckErrorReply(lower, sizeof lower - 1), 0);
  char beyond[] = "ERROR 7x\r";
  EXPECT_EQ(CheckErrorReply(beyond, 3), 7);  // the CR lies beyond length
  EXPECT_STREQ(beyond, "ERROR 7x\r");
  char wide[] = "ERROR 65537\r";
  EXPECT_EQ(CheckErrorReply(wide, sizeof wide - 1), 1);  // taken as 16 bits
}

}  // namespace
}  // namespace ulo::testing
