#include "serial/serial_port.h"

#include <gtest/gtest.h>

#include "line/line_io.h"
#ifndef _WIN32
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>
#endif

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "controller.h"
#include "platform/handle_word.h"
#include "platform/os.h"
#include "wine.h"
#ifndef _WIN32
#include "platform/syscall_faults.h"
#endif

namespace ulo::testing {
namespace {

constexpr LineSettings k9600{9600, 8, 0, 0};

class SerialPortTest : public ::testing::Test {
 protected:
  void TearDown() override {
    if (handle_) {
      EXPECT_EQ(ClosePort(handle_), kPortOk);
    }
  }
  int Open(const LineSettings &line = k9600, uint16_t flags = 8) {
    return OpenPort(controller_.Path().c_str(), line, flags, &handle_);
  }
#ifndef _WIN32
  // The slave's line state as the kernel has it.
  termios State() {
    termios state{};
    int fd = open(controller_.Path().c_str(), O_RDWR | O_NOCTTY);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(tcgetattr(fd, &state), 0);
    close(fd);
    return state;
  }
#endif

  Controller controller_;
  uint32_t handle_ = 0;
};

// Linux only: reads the line state back from the kernel's tty layer.
#ifndef _WIN32
TEST_F(SerialPortTest, OpensRawAtTheAskedBaudAndStopBits) {
  ASSERT_EQ(Open(LineSettings{19200, 8, 2, 0}), kPortOk);
  ASSERT_NE(handle_, 0u);
  termios state = State();
  EXPECT_EQ(cfgetispeed(&state), B19200);
  EXPECT_TRUE(state.c_cflag & CSTOPB);
  EXPECT_FALSE(state.c_lflag & (ICANON | ECHO | ISIG));
  EXPECT_FALSE(state.c_oflag & OPOST);
  EXPECT_FALSE(state.c_iflag & (ICRNL | IXON));
}
#endif

TEST_F(SerialPortTest, AsecondOpenOfAHeldPortFails) {
  if (RunningUnderWine()) GTEST_SKIP() << kWineOpensHeldPorts;
  ASSERT_EQ(Open(), kPortOk);
  uint32_t second = 0;
  EXPECT_EQ(OpenPort(controller_.Path().c_str(), k9600, 8, &second),
            kPortOpenFailed);
  EXPECT_EQ(second, 0u);
}

TEST_F(SerialPortTest, NulOpensWithoutLineStateAndMissingDevicesFail) {
  for (const char *name : {"NUL", "nul", "Nul"}) {
    uint32_t nul = 0;
    ASSERT_EQ(OpenPort(name, LineSettings{0, 0, 99, 99}, 0, &nul), kPortOk)
        << name;
    EXPECT_NE(nul, 0u);
    EXPECT_EQ(ClosePort(nul), kPortOk);
  }
  uint32_t none = 0;
  EXPECT_EQ(OpenPort("/dev/ulopr1-none", k9600, 8, &none), kPortOpenFailed);
}

TEST_F(SerialPortTest, CloseOfADeadHandleFailsWithSeven) {
  ASSERT_EQ(Open(), kPortOk);
  EXPECT_EQ(ClosePort(handle_), kPortOk);
  EXPECT_EQ(ClosePort(handle_), kPortIoFailed);
  handle_ = 0;
}

// Linux only: opens a port through a symbolic link and reads its line state
// back from the tty layer. The name field holds 12 characters, too few for a
// path into a folder of the test's own, so the link is named in a port folder
// made for the test.
#ifndef _WIN32
TEST_F(SerialPortTest, OpenFromSettingsUsesNameLineAndFlags) {
  PortSettings settings{};
  std::memset(settings.port, 'x', sizeof settings.port);  // no terminator
  EXPECT_EQ(OpenFromSettings(settings), 0u);
  std::string dir =
      (std::filesystem::temp_directory_path() / "ulo-sl-XXXXXX").string();
  ASSERT_NE(mkdtemp(dir.data()), nullptr);
  ASSERT_EQ(symlink(controller_.Path().c_str(), (dir + "/ulo-sl").c_str()), 0);
  setenv("ULO_PORT_DIR", dir.c_str(), 1);
  std::strcpy(settings.port, "ulo-sl");
  settings.line = LineSettings{4800, 8, 0, 0};
  settings.control_flags = 8;
  uint32_t port = OpenFromSettings(settings);
  unsetenv("ULO_PORT_DIR");
  std::filesystem::remove_all(dir);
  ASSERT_NE(port, 0u);
  termios state = State();
  EXPECT_EQ(cfgetospeed(&state), B4800);
  EXPECT_EQ(ClosePort(port), kPortOk);
}
#endif

TEST_F(SerialPortTest, SetReadTimeoutReportsThePreviousValue) {
  ASSERT_EQ(Open(), kPortOk);
  EXPECT_EQ(SetReadTimeout(handle_, 100), 100);
  EXPECT_EQ(SetReadTimeout(handle_, 20), 100);
  EXPECT_EQ(SetReadTimeout(handle_, 5), 20);
  EXPECT_EQ(SetReadTimeout(0, 5), 0);
  // Zero and negative values are bounded to the one second of a new port.
  EXPECT_EQ(SetReadTimeout(handle_, 0), 5);
  EXPECT_EQ(SetReadTimeout(handle_, -7), 100);
  EXPECT_EQ(ReadTimeoutMs(INT32_MAX), 600000u);
}

TEST_F(SerialPortTest, ReadWaitsForTheWholeCountWithinTheTimeout) {
  ASSERT_EQ(Open(), kPortOk);
  SetReadTimeout(handle_, 50);
  std::thread trickle([&] {
    for (int i = 0; i < 5; ++i) {
      controller_.Send("ab");
      std::this_thread::sleep_for(40ms);
    }
  });
  char buffer[10];
  uint32_t received = 99;
  EXPECT_EQ(ReadPort(handle_, buffer, 10, &received), kPortOk);
  trickle.join();
  EXPECT_EQ(received, 10u);
  EXPECT_EQ(std::string(buffer, 10), "ababababab");
}

TEST_F(SerialPortTest, ASilentLineEndsTheReadWithSeven) {
  ASSERT_EQ(Open(), kPortOk);
  SetReadTimeout(handle_, 10);
  controller_.Send("xyz");
  char buffer[500];
  uint32_t received = 0;
  auto begin = SteadyClock::now();
  EXPECT_EQ(ReadPort(handle_, buffer, 500, &received), kPortIoFailed);
  EXPECT_EQ(received, 3u);
  EXPECT_GE(SteadyClock::now() - begin, 80ms);
  EXPECT_EQ(ReadPort(handle_, buffer, 1, &received), kPortIoFailed);
  EXPECT_EQ(received, 0u);
}

TEST_F(SerialPortTest, BytesWaitingCountsTheInputQueue) {
  ASSERT_EQ(Open(), kPortOk);
  EXPECT_EQ(BytesWaiting(handle_), 0u);
  controller_.Send("12345");
  for (int i = 0; i < 100 && BytesWaiting(handle_) < 5; ++i)
    std::this_thread::sleep_for(5ms);
  EXPECT_EQ(BytesWaiting(handle_), 5u);
  char c;
  ASSERT_EQ(ReadPort(handle_, &c, 1, nullptr), kPortOk);
  EXPECT_EQ(BytesWaiting(handle_), 4u);
  EXPECT_EQ(BytesWaiting(0), 0u);
}

TEST_F(SerialPortTest, WritePortSendsAndReportsTheCount) {
  ASSERT_EQ(Open(), kPortOk);
  uint32_t written = 0;
  EXPECT_EQ(WritePort(handle_, "hello", 5, &written), kPortOk);
  EXPECT_EQ(written, 5u);
  EXPECT_TRUE(controller_.WaitFor("hello", 2000ms));
  EXPECT_EQ(WritePort(0, "x", 1, nullptr), kPortIoFailed);
}

TEST_F(SerialPortTest, PacedSendKeepsItsPace) {
  ASSERT_EQ(Open(), kPortOk);
  InstanceWorkspace ws{};
  ws.port = handle_;
  auto begin = SteadyClock::now();
  SendPaced(ws, "ABCD", 4);
  auto took = SteadyClock::now() - begin;
  EXPECT_GE(took, 400ms);  // 100 ms after every byte, the last one included
  ASSERT_TRUE(controller_.WaitFor("ABCD", 2000ms));
  // The bytes went out one by one, not at once (loosely: relays between the
  // line's two ends may bunch them a little).
  auto times = controller_.ArrivalTimes();
  ASSERT_EQ(times.size(), 4u);
  EXPECT_GE(times.back() - times.front(), 200ms);
}

// Linux only: fails a write of the platform layer.
#ifndef _WIN32
TEST_F(SerialPortTest, PacedSendGoesOnAfterAFailedWrite) {
  ASSERT_EQ(Open(), kPortOk);
  InstanceWorkspace ws{};
  ws.port = handle_;
  {
    sys::FaultScope faults;
    faults.Fail(sys::Call::kWrite, 2, EIO);
    SendPaced(ws, "ABC", 3);
  }
  EXPECT_TRUE(controller_.WaitFor("AC", 2000ms));
  EXPECT_EQ(controller_.Received(), "AC");
}
#endif

TEST_F(SerialPortTest, ReadExactAndDrain) {
  ASSERT_EQ(Open(), kPortOk);
  InstanceWorkspace ws{};
  ws.port = handle_;
  ws.read_timeout = 30;
  controller_.Send("stale input");
  std::this_thread::sleep_for(50ms);
  DrainInput(ws);
  EXPECT_EQ(BytesWaiting(handle_), 0u);
  EXPECT_EQ(SetReadTimeout(handle_, 30), 30);  // the workspace's value is back
  char buffer[4];
  EXPECT_FALSE(ReadExact(ws, buffer, 1));
  controller_.Send("abcd");
  EXPECT_TRUE(ReadExact(ws, buffer, 4));
  EXPECT_EQ(std::string(buffer, 4), "abcd");
}

// Linux only: a promise of the Linux platform layer; on Windows a blocked
// synchronous read ends at its timeout, and the driver never closes a port the
// receiver is reading.
#ifndef _WIN32
TEST_F(SerialPortTest, ClosingWakesABlockedReader) {
  ASSERT_EQ(Open(), kPortOk);
  SetReadTimeout(handle_, 3000);  // 30 s
  std::atomic<int> code{-1};
  std::thread reader([&] {
    char buffer[8];
    code = ReadPort(handle_, buffer, 8, nullptr);
  });
  std::this_thread::sleep_for(100ms);
  auto begin = SteadyClock::now();
  EXPECT_EQ(ClosePort(handle_), kPortOk);
  reader.join();
  EXPECT_LT(SteadyClock::now() - begin, 10s);
  EXPECT_EQ(code, kPortIoFailed);
  handle_ = 0;
}
#endif

// Linux only: injects failures into the Linux platform layer's system calls.
#ifndef _WIN32
TEST_F(SerialPortTest, AFailingOpenStepLeavesNoDescriptorOpen) {
  struct Step {
    sys::Call call;
    int nth;
    int code;
  } steps[] = {
      {sys::Call::kOpen, 1, kPortOpenFailed},
      {sys::Call::kFlock, 1, kPortOpenFailed},
      {sys::Call::kTcgetattr, 1, kPortNoLineState},
      {sys::Call::kTcsetattr, 1, kPortBadLineState},
  };
  for (const Step &step : steps) {
    int before = sys::OpenFdCount();
    {
      sys::FaultScope faults;
      faults.Fail(step.call, step.nth, EIO, 100);
      EXPECT_EQ(Open(k9600, 8), step.code) << int(step.call);
      EXPECT_EQ(handle_, 0u);
    }
    EXPECT_EQ(sys::OpenFdCount(), before) << int(step.call);
    ASSERT_EQ(Open(), kPortOk) << "the port stays usable";
    EXPECT_EQ(ClosePort(handle_), kPortOk);
    handle_ = 0;
  }
}
#endif

}  // namespace
}  // namespace ulo::testing
