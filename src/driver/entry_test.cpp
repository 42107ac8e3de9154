#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "driver/description.h"
#include "driver_fixture.h"
#include "platform/handle_word.h"
#include "serial/serial_port.h"

namespace ulo::testing {
namespace {

std::string Repeat(unsigned char c, int n) { return std::string(n, char(c)); }

std::string Boxed(const std::string &inner) {
  return "\xB3" + inner + "\xB3\n";
}

TEST(Description, FillsEveryFieldWithoutAWorkspace) {
  DriverDescription d{};
  UloRequest request{reinterpret_cast<void *>(0x1234), ULO_CMD_DESCRIBE, 0, 0,
                     &d};
  ASSERT_EQ(UloMain(&request), ULO_DONE);
  EXPECT_EQ(d.kind, 70);
  EXPECT_STREQ(d.name, "Landis & Staefa PRV1");
  EXPECT_EQ(d.workspace_size, 140);
  EXPECT_EQ(d.four, 4);
  EXPECT_EQ(d.line.baud, 9600);
  EXPECT_EQ(d.line.data_bits, 8);
  EXPECT_EQ(d.line.stop_bits, 0);
  EXPECT_EQ(d.line.parity, 0);
  EXPECT_EQ(d.three, 3);
  request.workspace = nullptr;
  EXPECT_EQ(UloMain(&request), ULO_DONE);
}

TEST(Description, BannerIsCodePage437InSixLinesOf62) {
  const std::string shades_down =
      Repeat(0xDB, 5) + Repeat(0xB2, 6) + Repeat(0xB1, 6) + Repeat(0xB0, 5);
  const std::string shades_up =
      Repeat(0xB0, 5) + Repeat(0xB1, 6) + Repeat(0xB2, 6) + Repeat(0xDB, 5);
  const std::string expected =
      "\n\xDA" + Repeat(0xC4, 60) + "\xBF\n" +
      Boxed(" " + shades_down + " U L O P R 1 " + shades_up + "  ") +
      Boxed(std::string(11, ' ') + "LANDIS & GYR PRV1 BUILDING CONTROLLERS." +
            std::string(10, ' ')) +
      Boxed(std::string(13, ' ') + "Unsolicited Driver. Ascii Protocol." +
            std::string(12, ' ')) +
      Boxed(std::string(7, ' ') +
            "Copyright (c) ulopr1 developers - Version 7.03" +
            std::string(7, ' ')) +
      "\xC0" + Repeat(0xC4, 60) + "\xD9\n";
  const std::string banner = Banner();
  ASSERT_EQ(banner.size(), 379u);
  EXPECT_EQ(banner, expected);
}

class EntryTest : public DriverTest {};

TEST_F(EntryTest, UnsupportedCommandsAnswerOneAndLeaveTheWorkspace) {
  unsigned char before[sizeof bytes_];
  std::memcpy(before, bytes_, sizeof bytes_);
  for (int round = 0; round < 2; ++round) {
    EXPECT_EQ(Call(ULO_CMD_UNSUPPORTED), ULO_REFUSED);
    EXPECT_EQ(Call(ULO_CMD_BLOCK_READ), ULO_REFUSED);
    EXPECT_EQ(Call(ULO_CMD_BLOCK_WRITE), ULO_REFUSED);
    for (int empty : {0, 8, 9, 16, 17, -1, 1000})
      EXPECT_EQ(Call(empty), ULO_REFUSED) << empty;
  }
  EXPECT_EQ(std::memcmp(before, bytes_, sizeof bytes_), 0);
  EXPECT_EQ(log_.Count(32, "ULOPR1: Block Read not supported!"), 2);
  EXPECT_EQ(log_.Count(32, "ULOPR: Block Write not supported!"), 2);
  EXPECT_EQ(log_.Records().size(), 4u);
}

TEST_F(EntryTest, MissingWorkspaceOrArgumentsAreRefusedNotDereferenced) {
  UloRequest request{nullptr, ULO_CMD_WARM_START, kInstance, 0, nullptr};
  EXPECT_EQ(UloMain(&request), ULO_REFUSED);
  EXPECT_EQ(UloMain(nullptr), ULO_REFUSED);
  for (int command : {1, 3, 5, 7, 14, 15})
    EXPECT_EQ(Call(command, nullptr), ULO_REFUSED) << command;
}

TEST_F(EntryTest,
       AfterTheReceiverEndsOnlyReadsAndWritesFailAndTheEventAndPortGo) {
  StartQuiet();
  StopReceiver();
  ASSERT_NE(ws_.event, 0u);
  ASSERT_NE(ws_.port, 0u);
  HANDLE event = WordHandle(ws_.event);
  size_t sent = controller_->Received().size();
  // Nothing is sent, so a write or read cannot read as done.
  EXPECT_EQ(WriteDigital("@DO3", 1), ULO_REFUSED);
  EXPECT_EQ(ws_.event, 0u);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_FAILED);
  EXPECT_EQ(ws_.port, 0u);
  // The device is free again (a held one is refused). Not a second close
  // of the old handle: on Windows its value may name another handle by now.
  uint32_t again = 0;
  EXPECT_EQ(OpenPort("COM1", LineSettings{9600, 8, 0, 0}, 8, &again), kPortOk);
  ClosePort(again);
  uint16_t value = 0;
  EXPECT_EQ(ReadGateValue("STATUS", &value), ULO_REFUSED);
  EXPECT_EQ(Call(ULO_CMD_UNSUPPORTED), ULO_DONE);
  EXPECT_EQ(Call(ULO_CMD_WARM_START), ULO_DONE);
  EXPECT_EQ(ws_.event, 0u);
  DriverDescription d{};
  EXPECT_EQ(Call(ULO_CMD_DESCRIBE, &d), ULO_DONE);
  EXPECT_EQ(d.workspace_size, 140);
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(controller_->Received().size(), sent);
}

}  // namespace
}  // namespace ulo::testing
