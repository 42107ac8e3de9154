#include "lifecycle/lifecycle.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "driver_fixture.h"
#include "serial/serial_port.h"
#include "wine.h"

namespace ulo::testing {
namespace {

constexpr auto kWait = 5000ms;

class StartTest : public DriverTest {};

TEST_F(StartTest, AFullStartOpensRegistersStartsAndSendsTheMessage) {
  WriteInitFile("HELLO\r\nsecond line\n");
  ASSERT_EQ(Start(), ULO_DONE);
  EXPECT_EQ(controller_->Received(), "HELLO\r");
  EXPECT_EQ(log_.Count(32, "ULOPR1: Restart Message is 'HELLO'"), 1);
  EXPECT_EQ(
      log_.Count(32, "ULOPR1: Special Unsolic. Driver loaded successfully."),
      1);
  EXPECT_NE(ws_.port, 0u);
  EXPECT_NE(ws_.event, 0u);
  EXPECT_EQ(ws_.instance, kInstance);
  EXPECT_EQ(ws_.read_timeout, 100);  // 20 raised to 100 in the workspace
  EXPECT_STREQ(ws_.settings.port, "COM1");
  EXPECT_EQ(ws_.settings.control_flags, 8);
  EXPECT_TRUE(zempro::FindClient(kClientName).has_value());
  EXPECT_EQ(ws_.client[0], *zempro::FindClient(kClientName));
  EXPECT_TRUE(
      log_.WaitFor(32, "UloPR1: Start Report-By-Exception Thread", 1, kWait));
  // The port keeps the start record's timeout; only the workspace is raised.
  EXPECT_EQ(SetReadTimeout(ws_.port, 20), 20);
}

TEST_F(StartTest, AMissingInitFileGivesTheDefaultMessage) {
  ASSERT_EQ(Start(), ULO_DONE);
  EXPECT_EQ(log_.Count(32, "UloPR1: Init File uloPR107.int not found!"), 1);
  EXPECT_EQ(log_.Count(32, "ULOPR1: Bad or Missing Init File!"), 1);
  EXPECT_EQ(controller_->Received(), "RESTART 100\r");
}

TEST_F(StartTest, InitFileLineLimits) {
  struct Case {
    std::string content, message;
  } cases[] = {
      {std::string(49, 'a') + "\n", std::string(49, 'a')},
      {std::string(49, 'b') + "\r\n", std::string(49, 'b')},
      {std::string(50, 'c') + "\n", "RESTART 100"},
      {"no newline", "RESTART 100"},
      {"", "RESTART 100"},
      {"\n", ""},
      {std::string("AB\0CD\n", 6), "AB"},
      {"A\rB\n", "A\rB"},
  };
  for (const Case &c : cases) {
    WriteInitFile(c.content);
    UloRequest request{bytes_, ULO_CMD_START, kInstance, 0, nullptr};
    std::memset(ws_.restart_message, 0, sizeof ws_.restart_message);
    bool loaded = LoadInitFile(request);
    EXPECT_EQ(loaded, c.message != "RESTART 100") << c.content;
    if (loaded) {
      EXPECT_EQ(std::string(ws_.restart_message), c.message);
    }
  }
  EXPECT_EQ(log_.Count(32, "UloPR1: Init File uloPR107.int not found!"), 0);
}

TEST_F(StartTest, InitFileNamesUseTheWholeInstanceNumber) {
  WriteInitFile("BIG\n", 123456);
  UloRequest request{bytes_, ULO_CMD_START, 123456, 0, nullptr};
  EXPECT_TRUE(LoadInitFile(request));
  EXPECT_STREQ(ws_.restart_message, "BIG");
}

TEST_F(StartTest, InitFilesThatAreNotRegularFilesCountAsMissing) {
  // A folder, and (where there are FIFOs) a FIFO nobody writes to, whose
  // plain open would block the start for ever.
  UloRequest request{bytes_, ULO_CMD_START, kInstance, 0, nullptr};
  std::filesystem::create_directory("uloPR107.int");
  EXPECT_FALSE(LoadInitFile(request));
  std::filesystem::remove("uloPR107.int");
  int rows = 1;
#ifndef _WIN32
  ASSERT_EQ(mkfifo("uloPR107.int", 0600), 0);
  EXPECT_FALSE(LoadInitFile(request));
  ++rows;
#endif
  EXPECT_EQ(log_.Count(32, "UloPR1: Init File uloPR107.int not found!"), rows);
}

TEST_F(StartTest, InstanceNumbersBeyondOneByteAreRefusedBeforeAnything) {
  StartParameters start{};
  std::strcpy(start.port, "COM1");
  start.enabled = 1;
  start.read_timeout = 20;
  start.line = LineSettings{9600, 8, 0, 0};
  for (int32_t instance : {256, 257, 65537, -1, -255}) {
    EXPECT_EQ(Call(ULO_CMD_START, &start, instance), ULO_REFUSED) << instance;
    EXPECT_EQ(
        log_.Count(32, "ULOPR1: Instance number " + std::to_string(instance) +
                           " outside 0 to 255, not started"),
        1);
  }
  EXPECT_EQ(ws_.port, 0u);
  EXPECT_EQ(ws_.event, 0u);
  EXPECT_TRUE(zempro::Clients().empty());
  EXPECT_EQ(controller_->Received(), "");
}

TEST_F(StartTest, AStartOnAnotherPortClosesTheFirst) {
  if (RunningUnderWine()) GTEST_SKIP() << kWineOpensHeldPorts;
  StartQuiet();
  Controller other;
  LinkPort("COM2", other.Path());
  ASSERT_EQ(Start(20, 1, "COM2"), ULO_DONE);
  uint32_t again = 0;
  EXPECT_EQ(OpenPort("COM1", LineSettings{9600, 8, 0, 0}, 8, &again), kPortOk);
  ClosePort(again);
}

TEST_F(StartTest, ADisabledPortStoresOnlyTheMessage) {
  WriteInitFile("X\n");
  ASSERT_EQ(Start(20, 0), ULO_DONE);
  EXPECT_STREQ(ws_.restart_message, "X");
  EXPECT_EQ(ws_.port, 0u);
  EXPECT_EQ(ws_.event, 0u);
  EXPECT_EQ(ws_.instance, 0);
  EXPECT_EQ(ws_.read_timeout, 0);
  EXPECT_EQ(ws_.settings.port[0], '\0');
  EXPECT_FALSE(zempro::FindClient(kClientName).has_value());
  uint16_t value = 9;
  EXPECT_EQ(ReadGateValue("STATUS", &value), ULO_DONE);
  EXPECT_EQ(value, 1);
  EXPECT_EQ(ReadGateValue("COM", &value), ULO_COMM_FAILURE);
  EXPECT_EQ(value, 0);
  EXPECT_EQ(ReadGateValue("STATUS", &value), ULO_COMM_FAILURE);
  EXPECT_EQ(Call(ULO_CMD_REOPEN_PORT), ULO_COMM_FAILURE);
  EXPECT_EQ(controller_->Received(), "");
}

TEST_F(StartTest, AnUnopenablePortFailsWithTwo) {
  EXPECT_EQ(Start(20, 1, "COM9"), ULO_COMM_FAILURE);
  EXPECT_EQ(log_.Count(32, "ULOPR1: Fail to open COM9"), 1);
  EXPECT_EQ(ws_.port, 0u);
}

TEST_F(StartTest, ASecondStartOnAnOpenPortFailsToOpenIt) {
  if (RunningUnderWine()) GTEST_SKIP() << kWineOpensHeldPorts;
  StartQuiet();
  WriteInitFile("AGAIN\n");
  EXPECT_EQ(Start(), ULO_COMM_FAILURE);
  EXPECT_STREQ(ws_.restart_message, "AGAIN");
  EXPECT_EQ(log_.Count(32, "ULOPR1: Fail to open COM1"), 1);
}

TEST_F(StartTest, AStartAfterCloseKeepsTheRunningReceiver) {
  int32_t t1 = zempro::DefineGate(kInstance, "$T1", ULO_TYPE_FLOAT);
  StartQuiet();
  uint32_t event = ws_.event;
  uint8_t client = ws_.client[0];
  ASSERT_EQ(Call(ULO_CMD_CLOSE_PORT), ULO_DONE);
  ASSERT_EQ(Start(), ULO_DONE);
  EXPECT_EQ(ws_.event, event);
  EXPECT_EQ(ws_.client[0], client);
  EXPECT_EQ(zempro::Clients().size(), 1u);
  EXPECT_EQ(log_.Count(32, "UloPR1: Start Report-By-Exception Thread"), 1);
  controller_->Send(Frame("$T1=6"));
  EXPECT_TRUE(WaitForValue(t1));
}

TEST_F(StartTest, AStartClearsAComFailure) {
  StartQuiet();
  uint16_t value = 0;
  ASSERT_EQ(ReadGateValue("COM", &value), ULO_COMM_FAILURE);  // a quiet line
  ASSERT_EQ(Call(ULO_CMD_CLOSE_PORT), ULO_DONE);
  ASSERT_EQ(Start(), ULO_DONE);
  EXPECT_EQ(ReadGateValue("STATUS", &value), ULO_DONE);
}

TEST_F(StartTest, AClientTheHostRefusesIsLogged) {
  zempro::FailMakeClient(3);
  WriteInitFile("\n");
  EXPECT_EQ(Start(), ULO_DONE);
  EXPECT_EQ(log_.Count(32, "ULOPR1: Failed to Make Client. Ulo 7"), 1);
  EXPECT_EQ(
      log_.Count(32, "ULOPR1: Special Unsolic. Driver loaded successfully."),
      0);
  EXPECT_NE(ws_.port, 0u);
  EXPECT_EQ(controller_->Received(), "");
  zempro::FailMakeClient(0);
}

TEST_F(StartTest, WarmStartDrainsAndSendsTheMessageAgain) {
  int32_t t1 = zempro::DefineGate(kInstance, "$T1", ULO_TYPE_FLOAT);
  StartQuiet();
  // The receiver, still in its start delay, then waits long: the controller's
  // answer to the restart message lies on the line until after the warm
  // start, where a drain after the message would throw it away.
  zempro::SetWaitMilliseconds(2000);
  controller_->SetResponder([](const std::string &) { return Frame("$T1=5"); });
  controller_->Send("garbage without frames");
  std::this_thread::sleep_for(50ms);
  Shared(ws_.port_use).store(kWriteBusy);
  size_t from = controller_->Received().size();
  EXPECT_EQ(Call(ULO_CMD_WARM_START), ULO_DONE);
  EXPECT_EQ(controller_->Received().substr(from), "\r");
  EXPECT_EQ(Shared(ws_.port_use).load() & kWriteBusy, 0u);
  EXPECT_EQ(log_.Count(32, "ULOPR1: Warm Start."), 1);
  EXPECT_EQ(SetReadTimeout(ws_.port, 100), 100);  // drain restored 100
  EXPECT_TRUE(WaitForValue(t1));
}

TEST_F(StartTest, WarmStartWithoutAPortStillAnswersZero) {
  WriteInitFile("\n");
  ASSERT_EQ(Start(20, 0), ULO_DONE);
  EXPECT_EQ(Call(ULO_CMD_WARM_START), ULO_DONE);
  EXPECT_EQ(log_.Count(32, "ULOPR1: Warm Start."), 1);
}

class PortControlTest : public DriverTest {};

TEST_F(PortControlTest, CloseAndReopen) {
  if (RunningUnderWine()) GTEST_SKIP() << kWineOpensHeldPorts;
  EXPECT_EQ(Call(ULO_CMD_CLOSE_PORT), ULO_DONE);  // nothing to close
  StartQuiet();
  size_t logged = log_.Records().size();
  EXPECT_EQ(Call(ULO_CMD_REOPEN_PORT), ULO_COMM_FAILURE);  // still held
  EXPECT_EQ(Call(ULO_CMD_CLOSE_PORT2), ULO_DONE);
  EXPECT_EQ(ws_.port, 0u);
  ws_.port_enabled = 0;
  EXPECT_EQ(Call(ULO_CMD_REOPEN_PORT), ULO_DONE);
  EXPECT_NE(ws_.port, 0u);
  EXPECT_EQ(ws_.port_enabled, 1);
  Call(ULO_CMD_CLOSE_PORT);
  EXPECT_EQ(log_.Records().size(), logged);  // port control logs nothing
}

TEST_F(PortControlTest, AReopenOverAHeldHandleClosesTheOldOne) {
  // NUL opens again while open, so the reopen succeeds and replaces it.
  WriteInitFile("\n");
  ASSERT_EQ(Start(20, 0), ULO_DONE);
  PortChange change{};
  std::strcpy(change.port, "NUL");
  ASSERT_EQ(Call(ULO_CMD_PORT_CHANGE, &change), ULO_DONE);
  uint32_t old = ws_.port;
  ASSERT_EQ(Call(ULO_CMD_REOPEN_PORT), ULO_DONE);
  EXPECT_NE(ws_.port, old);
  EXPECT_EQ(ClosePort(old), kPortIoFailed);  // the reopen closed it
}

TEST_F(PortControlTest, ChangeMovesToAnotherPort) {
  StartQuiet();
  Controller other;
  LinkPort("COM2", other.Path());
  PortChange change{};
  std::strcpy(change.port, "COM2");
  change.read_timeout = 20;
  change.line = LineSettings{4800, 7, 2, 2};
  EXPECT_EQ(Call(ULO_CMD_PORT_CHANGE, &change), ULO_DONE);
  EXPECT_NE(ws_.port, 0u);  // Windows may hand out the old value again
  EXPECT_EQ(ws_.read_timeout, 20);
  EXPECT_STREQ(ws_.settings.port, "COM2");
  EXPECT_EQ(ws_.settings.line.baud, 4800);
  EXPECT_EQ(ws_.settings.control_flags, 8);
  // The old port was closed: it can be opened again.
  uint32_t again = 0;
  EXPECT_EQ(OpenPort("COM1", LineSettings{9600, 8, 0, 0}, 8, &again), kPortOk);
  ClosePort(again);
  // The receiver reads the new port.
  int32_t t1 = zempro::DefineGate(kInstance, "$T1", ULO_TYPE_FLOAT);
  other.Send(Frame("$T1=2"));
  EXPECT_TRUE(WaitForValue(t1));
  StopReceiver();
}

TEST_F(PortControlTest, ChangeToTheSameOpenPortFailsAndKeepsIt) {
  if (RunningUnderWine()) GTEST_SKIP() << kWineOpensHeldPorts;
  StartQuiet();
  uint32_t old = ws_.port;
  PortChange change{};
  std::strcpy(change.port, "COM1");
  change.line = LineSettings{19200, 8, 0, 0};
  EXPECT_EQ(Call(ULO_CMD_PORT_CHANGE, &change), ULO_COMM_FAILURE);
  EXPECT_EQ(ws_.port, old);
  EXPECT_EQ(ws_.settings.line.baud, 19200);
  EXPECT_EQ(ws_.read_timeout, 100);  // 0 keeps it
}

TEST_F(PortControlTest, ChangeAfterADisabledStartOpensWithoutEnabling) {
  if (RunningUnderWine()) GTEST_SKIP() << kWineOpensHeldPorts;
  WriteInitFile("\n");
  ASSERT_EQ(Start(20, 0), ULO_DONE);
  PortChange change{};
  std::strcpy(change.port, "COM1");
  change.line = LineSettings{9600, 8, 0, 0};
  EXPECT_EQ(Call(ULO_CMD_PORT_CHANGE, &change), ULO_DONE);
  EXPECT_NE(ws_.port, 0u);
  EXPECT_EQ(ws_.port_enabled, 0);
  EXPECT_EQ(Call(ULO_CMD_REOPEN_PORT), ULO_COMM_FAILURE);
  EXPECT_EQ(Call(ULO_CMD_CLOSE_PORT), ULO_DONE);
  EXPECT_EQ(Call(ULO_CMD_REOPEN_PORT), ULO_DONE);
  EXPECT_EQ(ws_.port_enabled, 1);
}

TEST_F(PortControlTest, ClosingWhileTheReceiverReadsAFrameIsSafe) {
  int32_t t1 = zempro::DefineGate(kInstance, "$T1", ULO_TYPE_FLOAT);
  StartQuiet();
  for (int round = 0; round < 5; ++round) {
    controller_->Send(
        "\x02"
        "01$T1=");  // the receiver waits for the rest
    std::this_thread::sleep_for(30ms);
    ASSERT_EQ(Call(ULO_CMD_CLOSE_PORT), ULO_DONE);
    ASSERT_EQ(Call(ULO_CMD_REOPEN_PORT), ULO_DONE);
  }
  controller_->Send(Frame("$T1=1"));
  EXPECT_TRUE(WaitForValue(t1));
}

}  // namespace
}  // namespace ulo::testing
