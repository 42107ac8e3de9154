// The live view drawn into a real terminal (a pseudo-terminal of a set
// size); the test reads what a terminal would show.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cctype>

#include "output.h"
#include "pty.h"
#include "ulopr1/ulo.h"
#include "zempro/control.h"

namespace ulohost {
namespace {

class LiveViewTest : public testing::Test {
 protected:
  void SetUp() override {
    zempro::Reset();
    std::string error;
    ASSERT_TRUE(ulo::tools::OpenPty(pty_, error)) << error;
    description_.name = "Landis & Staefa PRV1";
  }
  void TearDown() override { ulo::tools::ClosePty(pty_); }

  void Size(unsigned short rows, unsigned short cols) {
    winsize size{};
    size.ws_row = rows;
    size.ws_col = cols;
    ASSERT_EQ(ioctl(pty_.keeper, TIOCSWINSZ, &size), 0);
  }

  Config Site(int gates) {
    std::string text = "[[instance]]\nulo = 5\nport = \"COM1\"\n";
    for (int i = 1; i <= gates; ++i) {
      text += "[[instance.gate]]\naddress = \"$T" + std::to_string(i) +
              "\"\ntype = \"float\"\nlabel = \"Zone " + std::to_string(i) +
              "\"\n";
    }
    Config config;
    ConfigErrors error;
    EXPECT_TRUE(ParseConfig(text, "site.toml", "/", config, error));
    return config;
  }

  // A value as the driver stores it.
  void Store(const std::string &address, double value) {
    uint8_t client[5] = {};
    ASSERT_EQ(Zem5MkClient("PR1_No_05", 1, 0, client), 0);
    int32_t id = 0;
    ASSERT_EQ(Zem5GetGateIdByAddressStr(client[0], 5, address.c_str(), &id), 0);
    ASSERT_EQ(Zem5PutGateVal(client[0], id, 2, value, 0, 0), 0);
    Zem5RmClient(client[0]);
  }

  // Everything the terminal has been sent so far.
  std::string Screen() {
    std::string out;
    char chunk[4096];
    pollfd ready{pty_.master, POLLIN, 0};
    while (poll(&ready, 1, 200) > 0) {
      ssize_t n = read(pty_.master, chunk, sizeof chunk);
      if (n <= 0) break;
      out.append(chunk, static_cast<std::size_t>(n));
    }
    return out;
  }

  ulo::tools::Pty pty_;
  Description description_;
};

TEST_F(LiveViewTest, DrawsGatesAboveAScrollingMessageArea) {
  Size(24, 100);
  Config config = Site(2);
  for (const GateConfig &gate : config.instances[0].gates) {
    zempro::DefineGate(5, gate.address, gate.type);
  }
  Store("$T2", 21.5);
  std::unique_ptr<Output> view =
      MakeLiveView(pty_.keeper, config, description_);
  InstanceState state;
  state.ulo = 5;
  state.port = "COM1";
  state.link = Link::kOpen;
  state.com = ReadEvent{Clock::now(), 5, "COM", ULO_COMM_FAILURE, 0, true, 2.0};
  view->Refresh({state});
  std::string screen = Screen();
  // Title, the instance, two gates, log and separator: six rows kept out of
  // the scrolling region.
  EXPECT_NE(screen.find("\x1b[7;24r"), std::string::npos);
  EXPECT_NE(screen.find("Landis & Staefa PRV1"), std::string::npos);
  EXPECT_NE(screen.find("COM 0 comm failure"), std::string::npos);
  EXPECT_NE(screen.find("Zone 2"), std::string::npos);
  EXPECT_NE(screen.find("21.5"), std::string::npos);

  view->Emit(WriteEvent{Clock::now(), 5, "$T1", 19.0, ULO_DONE, 1.5});
  EXPECT_NE(Screen().find("ulo 5 write $T1 = 19: confirmed (1.5 s)"),
            std::string::npos);
  view->Finish();
  EXPECT_NE(Screen().find("\x1b[r"), std::string::npos);
}

TEST_F(LiveViewTest, ATableTallerThanTheTerminalSaysWhatItLeftOut) {
  Size(12, 60);
  Config config = Site(20);
  std::unique_ptr<Output> view =
      MakeLiveView(pty_.keeper, config, description_);
  InstanceState state;
  state.ulo = 5;
  view->Refresh({state});
  std::string screen = Screen();
  // Eight rows for the table, four for messages and the prompt.
  EXPECT_NE(screen.find("\x1b[9;12r"), std::string::npos);
  EXPECT_NE(screen.find("more lines: enlarge the terminal"), std::string::npos);
  EXPECT_EQ(screen.find("Zone 20"), std::string::npos);

  // A larger terminal gets the whole table.
  Size(40, 60);
  view->Refresh({state});
  screen = Screen();
  EXPECT_NE(screen.find("\x1b[25;40r"), std::string::npos);
  EXPECT_NE(screen.find("Zone 20"), std::string::npos);
  view->Finish();
}

TEST_F(LiveViewTest, LinesAreCutToTheTerminalsWidth) {
  Size(24, 20);
  Config config = Site(1);
  std::unique_ptr<Output> view =
      MakeLiveView(pty_.keeper, config, description_);
  InstanceState state;
  state.ulo = 5;
  view->Refresh({state});
  std::string screen = Screen();
  // Between two cursor moves, at most 20 printable characters.
  std::size_t longest = 0, run = 0;
  for (std::size_t i = 0; i < screen.size(); ++i) {
    if (screen[i] == '\x1b') {
      // ESC 7, ESC 8, or ESC [ parameters and a final letter.
      if (screen[++i] == '[') {
        while (!std::isalpha(static_cast<unsigned char>(screen[++i]))) {
        }
      }
      if (screen[i] == 'H') run = 0;
      continue;
    }
    longest = std::max(longest, ++run);
  }
  EXPECT_LE(longest, 20u) << testing::PrintToString(screen);
  EXPECT_GE(longest, 20u);  // the title fills the line
  view->Finish();
}

}  // namespace
}  // namespace ulohost
