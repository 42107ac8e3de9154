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

  Config Site(int gates, const std::string &label = "Zone ") {
    std::string text = "[[instance]]\nulo = 5\nport = \"COM1\"\n";
    for (int i = 1; i <= gates; ++i) {
      text += "[[instance.gate]]\naddress = \"$T" + std::to_string(i) +
              "\"\ntype = \"float\"\nlabel = \"" + label + std::to_string(i) +
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

  // The view on the terminal; keys_ is the same object reading keys.
  std::unique_ptr<Output> Open(const Config &config) {
    std::unique_ptr<Output> view =
        MakeLiveView(pty_.keeper, config, description_);
    keys_ = dynamic_cast<KeyReader *>(view.get());
    EXPECT_NE(keys_, nullptr);
    return view;
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
  KeyReader *keys_ = nullptr;
};

TEST_F(LiveViewTest, DrawsGatesAboveAScrollingMessageArea) {
  Size(24, 100);
  Config config = Site(2, "Supply air temperature after the heat recovery ");
  for (const GateConfig &gate : config.instances[0].gates) {
    zempro::DefineGate(5, gate.address, gate.type);
  }
  Store("$T2", 21.5);
  std::unique_ptr<Output> view = Open(config);
  InstanceState state;
  state.ulo = 5;
  state.port = "COM1";
  state.link = Link::kOpen;
  state.com = ReadEvent{Clock::now(), 5, "COM", ULO_COMM_FAILURE, 0, true, 2.0};
  state.quality = Quality::kStale;
  view->Refresh({state});
  std::string screen = Screen();
  // Title, the instance, two gates, log and separator: six rows kept out of
  // the scrolling region, and the bottom row for the prompt.
  EXPECT_NE(screen.find("\x1b[7;23r"), std::string::npos);
  EXPECT_NE(screen.find("stale"), std::string::npos);
  EXPECT_NE(screen.find("Landis & Staefa PRV1"), std::string::npos);
  EXPECT_NE(screen.find("COM 0 comm failure"), std::string::npos);
  // A long label is cut so that the value stays in its column.
  EXPECT_NE(screen.find("$T2         Supply air temperat~ \x1b[31m21.5"),
            std::string::npos)
      << testing::PrintToString(screen);

  view->Emit(
      WriteEvent{Clock::now(), 5, "$T1", 19.0, ULO_DONE, 1.5, ULO_TYPE_FLOAT});
  EXPECT_NE(Screen().find("ulo 5 write $T1 = 19: confirmed (1.5 s)"),
            std::string::npos);
  view->Finish();
  EXPECT_NE(Screen().find("\x1b[r"), std::string::npos);
}

TEST_F(LiveViewTest, KeysScrollAndFilterATableTallerThanTheTerminal) {
  Size(12, 60);
  Config config = Site(20);
  std::unique_ptr<Output> view = Open(config);
  InstanceState state;
  state.ulo = 5;
  view->Refresh({state});
  std::string screen = Screen();
  // Eight rows for the table (five of them for the instance and its 20
  // gates), three for messages, the last for the prompt.
  EXPECT_NE(screen.find("\x1b[9;11r"), std::string::npos);
  EXPECT_NE(screen.find("lines 1-5 of 21"), std::string::npos);
  EXPECT_EQ(screen.find("Zone 5 "), std::string::npos);

  struct Step {
    std::vector<std::string> keys;  // as the terminal may deliver them
    const char *shown;              // text the redrawn table has
    const char *hidden;             // text it must not have
  };
  const Step kSteps[] = {
      {{"\x1b[6~"}, "lines 5-9 of 21", "Zone 3 "},      // PgDn: a page less one
      {{"\x1b[", "B"}, "lines 6-10 of 21", "Zone 4 "},  // split sequence
      {{"\x1b[5~"}, "lines 2-6 of 21", "Zone 8 "},
      {{"\x1b[F"}, "Zone 20", "Zone 15 "},                // End
      {{"\x1bOA"}, "lines 16-20 of 21", "Zone 20"},       // up, other form
      {{"/zone 1", "\r"}, "filter 'zone 1'", "Zone 2 "},  // to the top
      {{"/zone 1", "9\r"}, "Zone 19", "Zone 1 "},
      {{"/nothing\r"}, "no gate matches 'nothing'", "Zone"},
      {{"/\r"}, "lines 1-5 of 21", "filter"},
  };
  for (const Step &step : kSteps) {
    std::vector<std::string> lines;
    for (const std::string &chunk : step.keys) {
      EXPECT_TRUE(keys_->Keys(chunk, lines));
    }
    EXPECT_TRUE(lines.empty());
    screen = Screen();
    EXPECT_NE(screen.find(step.shown), std::string::npos)
        << step.keys.front() << ": " << testing::PrintToString(screen);
    // The hidden text is looked for in the table only, not in the echo of
    // the typed line.
    std::string table = screen.substr(0, screen.find("\x1b[?25h"));
    EXPECT_EQ(table.find(step.hidden), std::string::npos)
        << step.keys.front() << ": " << testing::PrintToString(table);
  }

  // A larger terminal gets the whole table.
  Size(40, 60);
  view->Refresh({state});
  screen = Screen();
  EXPECT_NE(screen.find("\x1b[25;39r"), std::string::npos);
  EXPECT_NE(screen.find("Zone 20"), std::string::npos);
  view->Finish();
}

TEST_F(LiveViewTest, ThePromptIsDrawnOnceAndTextsGetLinesOfTheirOwn) {
  Size(24, 80);
  Config config = Site(1);
  std::unique_ptr<Output> view = Open(config);
  std::vector<std::string> lines;
  // Typed with a slip, corrected with backspace; CR LF is one Enter.
  EXPECT_TRUE(keys_->Keys("wrx\x7fite 5 $T1 2\r\nhelp\r", lines));
  EXPECT_EQ(lines, (std::vector<std::string>{"write 5 $T1 2", "help"}));
  for (int i = 0; i < 3; ++i) view->Prompt();
  view->Emit(TextEvent{Clock::now(), "help", {"first", "second"}});
  view->Prompt();
  std::string screen = Screen();
  // The help text starts on the line after its time stamp.
  std::size_t help = screen.find(" help:\x1b[23;1H\n\r\x1b[Kfirst");
  EXPECT_NE(help, std::string::npos) << testing::PrintToString(screen);
  EXPECT_NE(screen.find("\x1b[23;1H\n\r\x1b[Ksecond", help), std::string::npos);
  // Every prompt goes on the cleared bottom row, so only one is ever seen:
  // no "> " is left once those and the dimmed echoes are taken out.
  for (std::string drawn : {"\x1b[24;1H\x1b[K> ", "\x1b[2m> "}) {
    for (std::size_t at; (at = screen.find(drawn)) != std::string::npos;) {
      screen.erase(at, drawn.size());
    }
  }
  EXPECT_EQ(screen.find("> "), std::string::npos)
      << testing::PrintToString(screen);
  // Ctrl-D on an empty line ends the input; with text it does not.
  EXPECT_TRUE(keys_->Keys("x\x04", lines));
  EXPECT_FALSE(keys_->Keys("\x7f\x04", lines));
  view->Finish();
}

TEST_F(LiveViewTest, LinesAreCutToTheTerminalsWidth) {
  Size(24, 20);
  Config config = Site(1);
  std::unique_ptr<Output> view = Open(config);
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
