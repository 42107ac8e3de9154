#include "protocol/write.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <functional>
#include <mutex>
#include <string>

#include "driver_fixture.h"
#include "line/port_sharing.h"
#include "serial/serial_port.h"

namespace ulo::testing {
namespace {

class WriteTest : public DriverTest {
 protected:
  void SetUp() override { StartQuiet(); }
  size_t Sent() { return controller_->Received().size(); }
};

TEST_F(WriteTest, AFloatLineIsPacedAndConfirmedByItsEcho) {
  controller_->SetResponder([](const std::string &line) { return line; });
  size_t from = Sent();
  EXPECT_EQ(WriteFloat("$SP1", 21.5f), ULO_DONE);
  EXPECT_EQ(controller_->Received().substr(from), "$SP1=21.500000\r");
  EXPECT_EQ(log_.Count(8, "ULOPR1: Write succeded"), 1);
  EXPECT_EQ(log_.Count(8, "ULOPR1: write retry #1"), 0);
  // 15 characters paced 100 ms apart (loosely: relays may bunch a few).
  auto times = controller_->ArrivalTimes();
  ASSERT_EQ(times.size(), from + 15);
  EXPECT_GE(times.back() - times[from], 1000ms);
}

TEST_F(WriteTest, ADigitalLineKeepsTheAddressCase) {
  controller_->SetResponder([](const std::string &line) {
    return "\n\n\x02"
           "01" +
           line;
  });
  size_t from = Sent();
  EXPECT_EQ(WriteDigital("@do3", 1), ULO_DONE);
  EXPECT_EQ(controller_->Received().substr(from), "@do3=1\r");
}

TEST_F(WriteTest, AnEchoThatDiffersEveryTimeFailsWithOne) {
  controller_->SetResponder([](const std::string &) { return "@D=2\r"; });
  EXPECT_EQ(WriteDigital("@D", 1), ULO_REFUSED);
  EXPECT_EQ(log_.Count(8, " ULOPR1: sent:@D=1\r recv:@D=2\r"), 5);
  for (int i = 1; i <= 4; ++i)
    EXPECT_EQ(log_.Count(8, "ULOPR1: write retry #" + std::to_string(i)), 1);
  EXPECT_EQ(log_.Count(32, "ULOPR1: Gate @D: Write failed. rc = 1 "), 1);
}

TEST_F(WriteTest, ASilentControllerFailsWithTwoAfterFiveAttempts) {
  size_t from = Sent();
  EXPECT_EQ(WriteDigital("@D", 1), ULO_COMM_FAILURE);
  EXPECT_EQ(log_.Count(8, "ULOPR1: Failed to read a character from PLC"), 5);
  EXPECT_EQ(log_.Count(8, "ULOPR1: Failed to read response to write"), 5);
  EXPECT_EQ(log_.Count(32, "ULOPR1: Gate @D: Write failed. rc = 2 "), 1);
  EXPECT_EQ(controller_->Received().substr(from),
            "@D=1\r@D=1\r@D=1\r@D=1\r@D=1\r");
}

TEST_F(WriteTest, ARetryAfterAGarbledEchoSucceeds) {
  std::atomic<int> attempts{0};  // counted on the controller's thread
  controller_->SetResponder([&](const std::string &line) {
    return ++attempts == 1 ? std::string("@X\r") : line;
  });
  EXPECT_EQ(WriteDigital("@D", 0), ULO_DONE);
  EXPECT_EQ(attempts, 2);
  EXPECT_EQ(log_.Count(8, "ULOPR1: write retry #1"), 1);
}

TEST_F(WriteTest, ASecondMarkerRestartsTheEcho) {
  controller_->SetResponder(
      [](const std::string &line) { return "$junk@" + line.substr(1); });
  EXPECT_EQ(WriteDigital("@D", 1), ULO_DONE);
}

TEST_F(WriteTest, AReportArrivingBeforeTheEchoIsDeliveredNotTakenAsEcho) {
  int32_t t1 = zempro::DefineGate(kInstance, "$T1", ULO_TYPE_FLOAT);
  controller_->SetResponder(
      [](const std::string &line) { return Frame("$T1=21.5") + line; });
  EXPECT_EQ(WriteDigital("@D", 1), ULO_DONE);
  auto value = zempro::ReadGateById(t1);
  ASSERT_TRUE(value.has_value());
  EXPECT_DOUBLE_EQ(value->value, 21.5);
  EXPECT_EQ(log_.Count(8, "ULOPR1: $T1 received from ULO 7"), 1);
}

TEST_F(WriteTest, StatusAndComWritesCannotBeConfirmed) {
  controller_->SetResponder([](const std::string &line) { return line; });
  EXPECT_EQ(WriteDigital("STATUS", 1), ULO_REFUSED);
  EXPECT_EQ(log_.Count(8, " ULOPR1: sent:STATUS=1\r recv:"), 5);
}

TEST_F(WriteTest, TooLongLinesAreRefusedBeforeAnythingIsSent) {
  size_t from = Sent();
  EXPECT_EQ(WriteFloat("$SETPOINT_OF_THE_BOILER", 3.0e38f), ULO_REFUSED);
  EXPECT_EQ(Sent(), from);
  EXPECT_EQ(log_.Count(32,
                       "ULOPR1: Gate $SETPOINT_OF_THE_BOILER: Write line "
                       "longer than 49 characters, not sent"),
            1);
}

TEST_F(WriteTest, AnOverlongEchoNeverMatches) {
  // A line of the full 49 characters, echoed with more digits before its
  // CR: cut to 49 characters, the echo would read like the line.
  const std::string line = "$" + std::string(30, 'L') + "=123456792.000000\r";
  ASSERT_EQ(line.size(), kLineLimit);
  Shared(ws_.port_use).fetch_or(kWriteBusy);  // the receiver stays away
  WaitReceiverOffPort(ws_);
  controller_->Send(line.substr(0, line.size() - 1) + "000\r");
  char echo[kLineLimit + 1] = {};
  uint32_t length = 0;
  EXPECT_EQ(ReadEcho(ws_, line.c_str(), echo, &length), kEchoRead);
  EXPECT_EQ(length, kLineLimit + 3);
  EXPECT_NE(std::string(echo), line);
  Shared(ws_.port_use).fetch_and(~kWriteBusy);
}

TEST_F(WriteTest, AnEchoWithoutCarriageReturnFailsWithOne) {
  controller_->SetResponder(
      [](const std::string &) { return std::string(100, 'n'); });
  EXPECT_EQ(WriteDigital("@D", 1), ULO_REFUSED);
  EXPECT_EQ(log_.Count(8, "ULOPR1: Failed to read response to write"), 5);
}

TEST_F(WriteTest, NonFiniteValuesAreRefusedBeforeAnythingIsSent) {
  size_t from = Sent();
  for (float value : {std::nanf(""), HUGE_VALF, -HUGE_VALF})
    EXPECT_EQ(WriteFloat("$SP1", value), ULO_REFUSED) << value;
  EXPECT_EQ(Sent(), from);
  EXPECT_EQ(log_.Count(32,
                       "ULOPR1: Gate $SP1: value is not a finite number, "
                       "not sent"),
            3);
}

TEST_F(WriteTest, ReportsAroundAndInsideTheEchoAreDeliveredAndItStillCounts) {
  int32_t t1 = zempro::DefineGate(kInstance, "$T1", ULO_TYPE_FLOAT);
  struct Row {
    const char *what;
    std::function<std::string(const std::string &, const std::string &)>
        answer;  // from the line and a report
  } rows[] = {
      {"before the echo",
       [](auto &line, auto &report) { return report + line; }},
      {"between two echo characters",
       [](auto &line, auto &report) {
         return line.substr(0, 3) + report + line.substr(3);
       }},
      {"right after the echo's marker",
       [](auto &line, auto &report) {
         return line.substr(0, 1) + report + line.substr(1);
       }},
      {"after a backlog of 600 short reports",
       [](auto &line, auto &report) {
         std::string backlog;
         for (int n = 0; n < 600; ++n) backlog += report;
         return backlog + line;
       }},
  };
  for (uint64_t i = 0; i < std::size(rows); ++i) {
    const std::string report = Frame("$T1=" + std::to_string(i + 1));
    // By value: the controller's thread may still answer after the loop
    // has moved on, or the test has ended.
    controller_->SetResponder(
        [answer = rows[i].answer, report](const std::string &line) {
          return answer(line, report);
        });
    EXPECT_EQ(WriteDigital("@D", 1), ULO_DONE) << rows[i].what;
    ASSERT_TRUE(WaitForValue(t1, i + 1)) << rows[i].what;
    EXPECT_EQ(zempro::ReadGateById(t1)->value, double(i + 1)) << rows[i].what;
  }
  EXPECT_EQ(log_.Count(8, "ULOPR1: write retry #1"), 0);
}

TEST_F(WriteTest, AControllerThatOnlyReportsEndsTheWriteAndLosesNoReport) {
  int32_t t1 = zempro::DefineGate(kInstance, "$T1", ULO_TYPE_FLOAT);
  std::mutex mutex;
  std::vector<double> values;
  int subscription = zempro::Subscribe(
      [&](const zempro::GateInfo &, const zempro::GateValue &value) {
        std::lock_guard lock(mutex);
        values.push_back(value.value);
      });
  ReportStream stream(*controller_, "$T1");
  EXPECT_NE(WriteDigital("@D", 1), ULO_DONE);
  int last = stream.Stop();
  EXPECT_TRUE(WaitForValue(t1, uint64_t(last)));
  zempro::Unsubscribe(subscription);
  // Every report the write read meanwhile was delivered, once, in order.
  std::lock_guard lock(mutex);
  ASSERT_EQ(values.size(), size_t(last));
  for (int i = 0; i < last; ++i) ASSERT_EQ(values[i], double(i + 1)) << i;
}

TEST_F(WriteTest, AWriteWaitsForTheFrameTheReceiverIsReading) {
  // A read timeout longer than any cut-off a write might give up after.
  SetReadTimeout(ws_.port, 600);
  int32_t t1 = zempro::DefineGate(kInstance, "$T1", ULO_TYPE_FLOAT);
  controller_->SetResponder([](const std::string &line) { return line; });
  controller_->Send(Frame("$T1=1"));
  ASSERT_TRUE(WaitForValue(t1));  // the receiver looks at the port
  controller_->Send(
      "\x02"
      "01$T1=21");
  std::this_thread::sleep_for(300ms);
  ASSERT_TRUE(Shared(ws_.port_use).load() & kReceiverOnPort);
  std::thread rest([&] {
    std::this_thread::sleep_for(3500ms);
    controller_->Send(".5\r\x03");
  });
  EXPECT_EQ(WriteDigital("@D", 1), ULO_DONE);
  rest.join();
  ASSERT_TRUE(WaitForValue(t1, 2));
  EXPECT_EQ(zempro::ReadGateById(t1)->value, 21.5);
  EXPECT_EQ(log_.Count(8, "ULOPR1: write retry #1"), 0);
}

TEST_F(WriteTest, AStrayByteDoesNotHoldThePort) {
  SetReadTimeout(ws_.port, 1000);
  controller_->SetResponder([](const std::string &line) { return line; });
  std::this_thread::sleep_for(1200ms);  // the receiver looks at the port
  controller_->Send("x");
  std::this_thread::sleep_for(200ms);
  auto begin = SteadyClock::now();
  EXPECT_EQ(WriteDigital("@D", 1), ULO_DONE);
  // Half a second of pacing, not the ten seconds of the read timeout.
  EXPECT_LT(SteadyClock::now() - begin, 5s);
  EXPECT_EQ(log_.Count(8, "ULOPR1: Failed to read a character from PLC"), 0);
}

TEST_F(WriteTest, TheReceiverStaysOffThePortWhileAWriteRuns) {
  int32_t t1 = zempro::DefineGate(kInstance, "$T1", ULO_TYPE_FLOAT);
  // The echo comes late, after a report: a receiver on the port would take
  // the echo's bytes and the write would fail.
  controller_->SetResponder([&](const std::string &line) {
    std::this_thread::sleep_for(300ms);
    return line;
  });
  EXPECT_EQ(WriteDigital("@D", 1), ULO_DONE);
  controller_->Send(Frame("$T1=3"));
  EXPECT_TRUE(WaitForValue(t1));
  EXPECT_EQ(log_.Count(32, "UloPR1 : The 'Write' thread is busy"), 0);
}

TEST_F(WriteTest, AFloatLineIsTheSameInAHostWithADecimalCommaLocale) {
  if (std::string why = UseDecimalCommaLocale(); !why.empty())
    GTEST_SKIP() << why;
  controller_->SetResponder([](const std::string &line) { return line; });
  size_t from = Sent();
  EXPECT_EQ(WriteFloat("$SP1", 22.5f), ULO_DONE);
  EXPECT_EQ(controller_->Received().substr(from), "$SP1=22.500000\r");
}

}  // namespace
}  // namespace ulo::testing
