#include "protocol/write.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "driver_fixture.h"

namespace ulo::testing {
namespace {

constexpr auto kWait = 5000ms;

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
  controller_->SetResponder([](const std::string &line) {
    return line.substr(0, line.size() - 1) + std::string(60, '0') + "\r";
  });
  EXPECT_EQ(WriteDigital("@D", 1), ULO_REFUSED);
}

TEST_F(WriteTest, AnEchoWithoutCarriageReturnFailsWithOne) {
  controller_->SetResponder(
      [](const std::string &) { return std::string(100, 'n'); });
  EXPECT_EQ(WriteDigital("@D", 1), ULO_REFUSED);
  EXPECT_EQ(log_.Count(8, "ULOPR1: Failed to read response to write"), 5);
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
  auto until = SteadyClock::now() + kWait;
  while (!zempro::ReadGateById(t1) && SteadyClock::now() < until)
    std::this_thread::sleep_for(5ms);
  EXPECT_TRUE(zempro::ReadGateById(t1).has_value());
  EXPECT_EQ(log_.Count(32, "UloPR1 : The 'Write' thread is busy"), 0);
}

}  // namespace
}  // namespace ulo::testing
