#include "protocol/receiver.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "driver_fixture.h"

namespace ulo::testing {
namespace {

constexpr auto kWait = 5000ms;

std::string Repeat(const std::string &text, int times) {
  std::string out;
  while (times-- > 0) out += text;
  return out;
}

class ReceiverTest : public DriverTest {
 protected:
  void SetUp() override {
    t1_ = zempro::DefineGate(kInstance, "$T1", ULO_TYPE_FLOAT);
    do3_ = zempro::DefineGate(kInstance, "@DO3", ULO_TYPE_DIGITAL);
    StartQuiet();
  }
  int32_t t1_ = 0, do3_ = 0;
};

TEST_F(ReceiverTest, StrayBytesThenAFrameDeliverTheValueAndTraceIt) {
  controller_->Send("xy" + Frame("$T1=21.5"));
  ASSERT_TRUE(WaitForValue(t1_));
  EXPECT_DOUBLE_EQ(zempro::ReadGateById(t1_)->value, 21.5);
  EXPECT_TRUE(log_.WaitFor(8, "ULOPR1: $T1 received from ULO 7", 1, kWait));
  // The stray bytes were part of what the look took: it does not go on to
  // wait for a frame the quiet line never sends.
  EXPECT_FALSE(log_.WaitFor(8, "ULOPR1: Failed to read a character from PLC", 1,
                            1500ms));
}

TEST_F(ReceiverTest, ValuesConvertAsDecimalTextDoes) {
  controller_->Send(Frame("@DO3=1") + Frame("$T1= -2.5e1xyz"));
  ASSERT_TRUE(WaitForValue(t1_));
  EXPECT_DOUBLE_EQ(zempro::ReadGateById(t1_)->value, -25.0);
  EXPECT_DOUBLE_EQ(zempro::ReadGateById(do3_)->value, 1.0);
  controller_->Send(Frame("$T1=abc"));
  ASSERT_TRUE(WaitForValue(t1_, 2));
  EXPECT_DOUBLE_EQ(zempro::ReadGateById(t1_)->value, 0.0);
}

TEST_F(ReceiverTest, ErrorRepliesAreLoggedNotDelivered) {
  controller_->Send(Frame("ERROR 13") + Frame("ERROR 0") + Frame("$T1=4"));
  ASSERT_TRUE(WaitForValue(t1_));
  EXPECT_EQ(log_.Count(32, "ULOPR1: ERROR 13"), 1);
  // An error number of 0 is treated as a report, which has no "=".
  EXPECT_EQ(log_.Count(8, "ULOPR1: ERROR 0 received from ULO 7"), 1);
  EXPECT_DOUBLE_EQ(zempro::ReadGateById(t1_)->value, 4.0);
}

TEST_F(ReceiverTest, ReportsWithoutEqualsOrForUnknownGatesDeliverNothing) {
  controller_->Send(Frame("$T1 21.5") + Frame("$T9=3") + Frame("$T1=5"));
  ASSERT_TRUE(WaitForValue(t1_));
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
  ASSERT_TRUE(WaitForValue(t1_));
  EXPECT_EQ(log_.Count(8, "ULOPR1: \x03 received from ULO 7"), 1);
}

TEST_F(ReceiverTest,
       NinetyEightBytesWithoutEtxAreDroppedAndTheNextFrameIsRead) {
  controller_->Send("\x02" + std::string(97, 'a'));
  controller_->Send("Z" + Frame("$T1=8"));
  ASSERT_TRUE(WaitForValue(t1_));
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
  ASSERT_TRUE(WaitForValue(t1_));
  EXPECT_DOUBLE_EQ(zempro::ReadGateById(t1_)->value, 9.0);
}

TEST_F(ReceiverTest, LongAddressesAreRefusedNotCut) {
  std::string name32 = "$" + std::string(31, 'A');
  zempro::DefineGate(kInstance, name32.substr(0, 31), ULO_TYPE_FLOAT);
  int32_t cut = zempro::Gates().back().id;
  controller_->Send(Frame(name32 + "=1") + Frame("$T1=2"));
  ASSERT_TRUE(WaitForValue(t1_));
  EXPECT_FALSE(zempro::ReadGateById(cut).has_value());
  EXPECT_EQ(log_.Count(8, "UloPR1: ULO 7, Gate address " + name32 +
                              " longer than 31 characters!"),
            1);
}

TEST_F(ReceiverTest, FramesAtTheirLimits) {
  const std::string long31 = "$" + std::string(30, 'L');
  const std::map<std::string, int32_t> gates = {
      {"$T1", t1_},
      {"$T5", zempro::DefineGate(kInstance, "$T5", ULO_TYPE_FLOAT)},
      {long31, zempro::DefineGate(kInstance, long31, ULO_TYPE_FLOAT)}};
  constexpr char kNoEtx[] = "ULOPRV: Error. ETX not found in PLC Reply!";
  struct Row {
    const char *what;
    std::string bytes;
    std::string address;          // the gate that gets value, or none
    std::optional<double> value;  // none: the gate gets nothing
    std::string logged;           // logged `times` times
    int times;
    std::string never;  // never logged
  } rows[] = {
      {"a frame of 98 bytes", Frame("$T1=7" + std::string(88, 'x')), "$T1", 7,
       "ULOPR1: $T1 received from ULO 7", 1, kNoEtx},
      {"a frame of 99 bytes", Frame("$T1=8" + std::string(89, 'x')), "$T1",
       std::nullopt, kNoEtx, 1, "ULOPR1: $T1 received from ULO 7"},
      {"98 stray bytes, then a frame", std::string(98, 'n') + Frame("$T1=9"),
       "$T1", 9, "ULOPR1: $T1 received from ULO 7", 1, kNoEtx},
      {"98 stray bytes, then a frame of 98 bytes",
       std::string(98, 'n') + Frame("$T1=4" + std::string(88, 'x')), "$T1", 4,
       "ULOPR1: $T1 received from ULO 7", 1, kNoEtx},
      {"200 stray bytes, then a frame", std::string(200, 'n') + Frame("$T1=6"),
       "$T1", 6, kNoEtx, 2, ""},
      {"frames restarted by STX again and again",
       Repeat("\x02" + std::string(50, 'r'), 5) + Frame("$T1=5"), "$T1", 5,
       kNoEtx, 1, ""},
      {"a frame of 3 bytes",
       "\x02"
       "1\x03",
       "", std::nullopt, "", 0, "ULOPR1:  received from ULO 7"},
      {"an error reply", Frame("ERROR 13"), "", std::nullopt,
       "ULOPR1: ERROR 13", 1, "ULOPR1: ERROR 13 received from ULO 7"},
      {"a negative error number", Frame("ERROR -5"), "", std::nullopt,
       "ULOPR1: ERROR -5", 1, "ULOPR1: ERROR -5 received from ULO 7"},
      {"a second equals sign", Frame("$T5=12=3"), "$T5", 12,
       "ULOPR1: $T5 received from ULO 7", 1, ""},
      {"an address of 31 characters", Frame(long31 + "=4"), long31, 4,
       "ULOPR1: " + long31 + " received from ULO 7", 1, ""},
  };
  uint64_t sentinel = 0;
  for (const Row &row : rows) {
    log_.Clear();
    auto before = [&](const std::string &address) {
      auto value = zempro::ReadGateById(gates.at(address));
      return value ? value->updates : 0;
    };
    uint64_t updates = row.address.empty() ? 0 : before(row.address);
    // The row's bytes are settled once the report after them has arrived.
    controller_->Send(row.bytes + Frame("@DO3=" + std::to_string(++sentinel)));
    ASSERT_TRUE(WaitForValue(do3_, sentinel)) << row.what;
    if (!row.address.empty()) {
      auto value = zempro::ReadGateById(gates.at(row.address));
      EXPECT_EQ(value ? value->updates : 0, updates + (row.value ? 1 : 0))
          << row.what;
      if (row.value) {
        EXPECT_EQ(value->value, *row.value) << row.what;
      }
    }
    auto count = [&](const std::string &text) {
      return log_.Count(ZEM_CLASS_TRACE, text) +
             log_.Count(ZEM_CLASS_MESSAGE, text);
    };
    if (!row.logged.empty()) {
      EXPECT_EQ(count(row.logged), row.times) << row.what;
    }
    if (!row.never.empty()) {
      EXPECT_EQ(count(row.never), 0) << row.what;
    }
  }
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
  ASSERT_TRUE(WaitForValue(t1_, 200));
  EXPECT_DOUBLE_EQ(zempro::ReadGateById(t1_)->value, 199.0);
}

TEST_F(ReceiverTest, WhatArrivedDuringAWaitIsTakenInOneLook) {
  // A host that waits long: whatever the line brought in meanwhile is read
  // at the next look, not a share of it per wait, or a busy line would
  // outrun the receiver. The burst comes while the receiver still sleeps
  // after its start; its first look follows a whole wait.
  zempro::SetWaitMilliseconds(1000);
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
  ASSERT_TRUE(WaitForValue(t1_, 200));
  zempro::Unsubscribe(subscription);
  ASSERT_EQ(stored.size(), 200u);
  // Two looks would lie a whole wait apart.
  EXPECT_LT(stored.back() - stored.front(), 1000ms);
}

TEST_F(ReceiverTest, StopsWhenTheHostSaysSo) {
  StopReceiver();
  EXPECT_TRUE(Shared(ws_.receiver_state).load() & kThreadEnded);
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

TEST_F(ReceiverTest, AReportReadsTheSameInAHostWithADecimalCommaLocale) {
  if (std::string why = UseDecimalCommaLocale(); !why.empty())
    GTEST_SKIP() << why;
  controller_->Send(Frame("$T1=21.5"));
  ASSERT_TRUE(WaitForValue(t1_));
  EXPECT_EQ(zempro::ReadGateById(t1_)->value, 21.5);
}

}  // namespace
}  // namespace ulo::testing
