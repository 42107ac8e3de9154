// Ports over real pseudo-terminals: the slave is the port, the test talks
// through the master and inspects the line through its own open of the
// slave.
#include "os.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <future>
#include <string>
#include <thread>

#include "platform/syscall_faults.h"
#include "pty.h"
#include "termios2.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using ulo::sys::Call;
using ulo::sys::FaultScope;
using ulo::sys::OpenFdCount;

constexpr auto kBound = 5s;  // a wait that must end ends well within this

HANDLE OpenPort(const std::string &name) {
  return CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, 0);
}

DCB Line(DWORD baud, BYTE stop_bits = ONESTOPBIT) {
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  dcb.BaudRate = baud;
  dcb.fBinary = 1;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = stop_bits;
  return dcb;
}

class PortTest : public testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(ulo::tools::OpenPty(pty_, error)) << error;
  }
  void TearDown() override { ulo::tools::ClosePty(pty_); }

  // The slave, configured 9600 8N1 with the given total read timeout.
  HANDLE Open(DWORD read_timeout_ms) {
    HANDLE port = OpenPort(pty_.path);
    EXPECT_NE(port, INVALID_HANDLE_VALUE);
    COMMTIMEOUTS timeouts{};
    timeouts.ReadTotalTimeoutConstant = read_timeout_ms;
    DCB dcb = Line(9600);
    EXPECT_TRUE(SetCommTimeouts(port, &timeouts));
    EXPECT_TRUE(SetCommState(port, &dcb));
    return port;
  }

  termios Terminal() {
    termios state{};
    EXPECT_EQ(tcgetattr(pty_.keeper, &state), 0);
    return state;
  }

  void Send(const std::string &bytes) {
    ASSERT_EQ(write(pty_.master, bytes.data(), bytes.size()),
              static_cast<ssize_t>(bytes.size()));
  }

  // What the master receives within wait, up to count bytes.
  std::string Receive(size_t count, int wait_ms = 5000) {
    std::string got;
    pollfd master = {pty_.master, POLLIN, 0};
    char chunk[4096];
    while (got.size() < count && poll(&master, 1, wait_ms) > 0) {
      ssize_t n =
          read(pty_.master, chunk, std::min(sizeof chunk, count - got.size()));
      if (n <= 0) break;
      got.append(chunk, static_cast<size_t>(n));
    }
    return got;
  }

  std::string Read(HANDLE port, DWORD count) {
    std::string buffer(count, '\0');
    DWORD got = 0;
    EXPECT_TRUE(ReadFile(port, buffer.data(), count, &got, nullptr));
    buffer.resize(got);
    return buffer;
  }

  DWORD Waiting(HANDLE port) {
    COMSTAT stat{};
    DWORD errors = 1;
    EXPECT_TRUE(ClearCommError(port, &errors, &stat));
    EXPECT_EQ(errors, 0u);
    return stat.cbInQue;
  }

  ulo::tools::Pty pty_;
};

// Runs body in a child process; true when it exited with status 0.
template <typename Body>
bool InChild(Body body) {
  pid_t child = fork();
  if (child == 0) _exit(body() ? 0 : 1);
  int status = 0;
  return child > 0 && waitpid(child, &status, 0) == child &&
         WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST_F(PortTest, SecondOpenIsRefusedUntilClose) {
  HANDLE port = OpenPort(pty_.path);
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  EXPECT_EQ(OpenPort(pty_.path), INVALID_HANDLE_VALUE);
  // Held by the lock even where exclusive mode lets root through.
  int other = open(pty_.path.c_str(), O_RDWR | O_NOCTTY);
  if (other >= 0) {
    EXPECT_NE(flock(other, LOCK_EX | LOCK_NB), 0);
    close(other);
  }
  int exclusive = 0;
  ASSERT_EQ(ioctl(pty_.keeper, TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 1);

  EXPECT_TRUE(CloseHandle(port));
  ASSERT_EQ(ioctl(pty_.keeper, TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 0);
  HANDLE again = OpenPort(pty_.path);
  EXPECT_NE(again, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(CloseHandle(again));
}

TEST_F(PortTest, AnotherProcessCannotOpenAHeldPort) {
  HANDLE port = OpenPort(pty_.path);
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(
      InChild([&] { return OpenPort(pty_.path) == INVALID_HANDLE_VALUE; }));
  EXPECT_TRUE(CloseHandle(port));
  EXPECT_TRUE(InChild([&] {
    HANDLE mine = OpenPort(pty_.path);
    return mine != INVALID_HANDLE_VALUE && CloseHandle(mine);
  }));
}

TEST_F(PortTest, OpensThroughThePortDirectory) {
  std::string dir =
      (std::filesystem::temp_directory_path() / "ulo-ports-XXXXXX").string();
  ASSERT_NE(mkdtemp(dir.data()), nullptr);
  std::filesystem::create_symlink(pty_.path, dir + "/COM7");
  setenv("ULO_PORT_DIR", dir.c_str(), 1);
  HANDLE port = OpenPort("COM7");
  unsetenv("ULO_PORT_DIR");
  std::filesystem::remove_all(dir);
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  // The same device under its own name.
  EXPECT_EQ(OpenPort(pty_.path), INVALID_HANDLE_VALUE);
  Send("k");
  COMMTIMEOUTS timeouts{0, 0, 1000, 0, 0};
  ASSERT_TRUE(SetCommTimeouts(port, &timeouts));
  EXPECT_EQ(Read(port, 1), "k");
  EXPECT_TRUE(CloseHandle(port));
}

TEST(NullDeviceTest, OpensSharedReadsNothingSwallowsWrites) {
  HANDLE first = OpenPort("NUL");
  HANDLE second = OpenPort("NUL");
  ASSERT_NE(first, INVALID_HANDLE_VALUE);
  ASSERT_NE(second, INVALID_HANDLE_VALUE);
  char buffer[5];
  DWORD count = 99;
  auto start = Clock::now();
  EXPECT_TRUE(ReadFile(first, buffer, sizeof buffer, &count, nullptr));
  EXPECT_EQ(count, 0u);
  EXPECT_LT(Clock::now() - start, kBound);
  EXPECT_TRUE(WriteFile(first, "abc", 3, &count, nullptr));
  EXPECT_EQ(count, 3u);
  DCB dcb{};
  COMMTIMEOUTS timeouts{};
  EXPECT_FALSE(GetCommState(first, &dcb));
  EXPECT_FALSE(SetCommTimeouts(first, &timeouts));
  EXPECT_FALSE(ClearCommError(first, nullptr, nullptr));
  EXPECT_TRUE(CloseHandle(first));
  EXPECT_TRUE(CloseHandle(second));
}

TEST(OpenTest, NeverCreatesAFile) {
  std::string dir =
      (std::filesystem::temp_directory_path() / "ulo-missing-XXXXXX").string();
  ASSERT_NE(mkdtemp(dir.data()), nullptr);
  std::filesystem::path missing = dir + "/COM1";
  EXPECT_EQ(OpenPort(missing), INVALID_HANDLE_VALUE);
  constexpr DWORD kCreateAlways = 2;
  EXPECT_EQ(CreateFileA(missing.c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                        nullptr, kCreateAlways, FILE_ATTRIBUTE_NORMAL, 0),
            INVALID_HANDLE_VALUE);
  EXPECT_FALSE(std::filesystem::exists(missing));
  std::filesystem::remove_all(dir);
}

TEST_F(PortTest, SetCommStateMakesACookedTerminalRaw) {
  termios cooked = Terminal();
  cooked.c_lflag |= ICANON | ECHO | ISIG | IEXTEN;
  cooked.c_iflag |= ICRNL | IXON;
  cooked.c_oflag |= OPOST | ONLCR;
  ASSERT_EQ(tcsetattr(pty_.keeper, TCSANOW, &cooked), 0);

  HANDLE port = Open(1000);
  termios raw = Terminal();
  EXPECT_EQ(raw.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
  EXPECT_EQ(raw.c_iflag & (ICRNL | IXON), 0u);
  EXPECT_EQ(raw.c_oflag & OPOST, 0u);
  EXPECT_EQ(raw.c_cflag & (CREAD | CLOCAL), CREAD | CLOCAL);
  // Bytes pass untranslated, one at a time, and nothing is echoed.
  Send("a\rb");
  EXPECT_EQ(Read(port, 3), "a\rb");
  EXPECT_EQ(Receive(1, 100), "");
  EXPECT_TRUE(CloseHandle(port));
}

TEST_F(PortTest, SpeedsAndStopBitsReachTheTerminal) {
  HANDLE port = Open(1000);
  struct Case {
    DWORD baud;
    speed_t speed;
    BYTE stop_bits;
    bool two;
  };
  for (Case c : {Case{1200, B1200, ONESTOPBIT, false},
                 Case{19200, B19200, TWOSTOPBITS, true},
                 Case{115200, B115200, ONE5STOPBITS, true}}) {
    DCB dcb = Line(c.baud, c.stop_bits);
    ASSERT_TRUE(SetCommState(port, &dcb));
    termios state = Terminal();
    EXPECT_EQ(cfgetospeed(&state), c.speed);
    EXPECT_EQ((state.c_cflag & CSTOPB) != 0, c.two);
    DCB back{};
    ASSERT_TRUE(GetCommState(port, &back));
    EXPECT_EQ(back.BaudRate, c.baud);
    EXPECT_EQ(back.StopBits, c.stop_bits);
  }
  EXPECT_TRUE(CloseHandle(port));
}

TEST_F(PortTest, NonStandardSpeedUsesTheExactRate) {
  HANDLE port = Open(1000);
  DCB dcb = Line(12345);
  ASSERT_TRUE(SetCommState(port, &dcb));
  termios2 exact{};
  ASSERT_EQ(ioctl(pty_.keeper, TCGETS2, &exact), 0);
  EXPECT_EQ(exact.c_cflag & CBAUD, ulo::os::kArbitraryRate);
  EXPECT_EQ(exact.c_ospeed, 12345u);
  DCB back{};
  ASSERT_TRUE(GetCommState(port, &back));
  EXPECT_EQ(back.BaudRate, 12345u);

  dcb = Line(9600);
  ASSERT_TRUE(SetCommState(port, &dcb));
  termios state = Terminal();
  EXPECT_EQ(cfgetospeed(&state), static_cast<speed_t>(B9600));
  EXPECT_TRUE(CloseHandle(port));
}

TEST_F(PortTest, LineStateKeepsMembersTermiosLacks) {
  HANDLE port = Open(1000);
  DCB set = Line(4800);
  set.fParity = 1;
  set.fDtrControl = DTR_CONTROL_HANDSHAKE;
  set.fRtsControl = RTS_CONTROL_TOGGLE;
  set.fTXContinueOnXoff = 1;
  set.fDsrSensitivity = 1;
  set.fAbortOnError = 1;
  set.ErrorChar = static_cast<char>(0xFC);
  set.EofChar = 26;
  set.XonLim = 2048;
  set.XonChar = 17;
  set.XoffChar = 19;
  ASSERT_TRUE(SetCommState(port, &set));
  DCB back{};
  ASSERT_TRUE(GetCommState(port, &back));
  EXPECT_EQ(std::memcmp(&back, &set, sizeof set), 0);

  // Either handshake member turns on CRTSCTS and reads back as it was set.
  DCB rts = Line(4800);
  rts.fRtsControl = RTS_CONTROL_HANDSHAKE;
  ASSERT_TRUE(SetCommState(port, &rts));
  EXPECT_NE(Terminal().c_cflag & CRTSCTS, 0u);
  ASSERT_TRUE(GetCommState(port, &back));
  EXPECT_EQ(back.fOutxCtsFlow, 0u);
  EXPECT_EQ(back.fRtsControl, RTS_CONTROL_HANDSHAKE);
  EXPECT_TRUE(CloseHandle(port));
}

TEST_F(PortTest, ImpossibleLineStateChangesNothing) {
  HANDLE port = Open(1000);
  termios before = Terminal();
  DCB dcb = Line(9600);
  dcb.ByteSize = 9;
  EXPECT_FALSE(SetCommState(port, &dcb));
  termios after = Terminal();
  EXPECT_EQ(std::memcmp(&before, &after, sizeof before), 0);
  EXPECT_TRUE(CloseHandle(port));
}

TEST_F(PortTest, ReadWaitsForTheWholeCountWithNoLimitBetweenBytes) {
  HANDLE port = Open(3000);
  std::thread sender([&] {
    for (char c : std::string("abcdef")) {
      std::this_thread::sleep_for(100ms);
      Send(std::string(1, c));
    }
  });
  EXPECT_EQ(Read(port, 6), "abcdef");
  sender.join();
  EXPECT_TRUE(CloseHandle(port));
}

TEST_F(PortTest, TheTimeoutBoundsTheWholeReadNotTheGapsBetweenBytes) {
  HANDLE port = Open(200);
  std::atomic<bool> stop{false};
  std::thread sender([&] {
    while (!stop) {
      Send("b");
      std::this_thread::sleep_for(50ms);
    }
  });
  auto start = Clock::now();
  std::string got = Read(port, 20);
  auto spent = Clock::now() - start;
  stop = true;
  sender.join();
  EXPECT_LT(got.size(), 20u);
  EXPECT_LT(spent, 800ms) << "not a 200 ms limit per byte";
  EXPECT_TRUE(CloseHandle(port));
}

TEST_F(PortTest, ReadOnASilentLineEndsAfterTheTimeout) {
  HANDLE port = Open(200);
  auto start = Clock::now();
  EXPECT_EQ(Read(port, 1), "");
  auto spent = Clock::now() - start;
  EXPECT_GE(spent, 200ms);
  EXPECT_LT(spent, kBound);
  Send("xyz");
  EXPECT_EQ(Read(port, 10), "xyz");
  EXPECT_TRUE(CloseHandle(port));
}

TEST_F(PortTest, ZeroTimeoutWaitsUntilTheCountIsComplete) {
  HANDLE port = Open(0);
  auto start = Clock::now();
  std::thread sender([&] {
    Send("12");
    std::this_thread::sleep_for(300ms);
    Send("34");
  });
  EXPECT_EQ(Read(port, 4), "1234");
  EXPECT_GE(Clock::now() - start, 300ms);
  sender.join();
  EXPECT_TRUE(CloseHandle(port));
}

TEST_F(PortTest, ReadAheadServesSingleBytesWithoutSystemCalls) {
  HANDLE port = Open(1000);
  Send("0123456789");
  auto start = Clock::now();
  while (Waiting(port) < 10 && Clock::now() - start < kBound) {
    std::this_thread::sleep_for(1ms);
  }
  EXPECT_EQ(Read(port, 1), "0");
  EXPECT_EQ(Waiting(port), 9u);
  std::string rest;
  {
    FaultScope calls;
    for (int i = 0; i < 9; ++i) rest += Read(port, 1);
    EXPECT_EQ(calls.Calls(Call::kRead), 0);
    EXPECT_EQ(calls.Calls(Call::kPoll), 0);
  }
  EXPECT_EQ(rest, "123456789");
  EXPECT_EQ(Waiting(port), 0u);
  EXPECT_TRUE(CloseHandle(port));
}

TEST_F(PortTest, CloseWakesABlockedReaderWithAFailure) {
  HANDLE port = Open(0);
  auto reader = std::async(std::launch::async, [port] {
    char byte;
    DWORD got = 0;
    return ReadFile(port, &byte, 1, &got, nullptr);
  });
  EXPECT_EQ(reader.wait_for(100ms), std::future_status::timeout);
  EXPECT_TRUE(CloseHandle(port));
  ASSERT_EQ(reader.wait_for(kBound), std::future_status::ready);
  EXPECT_FALSE(reader.get());
}

TEST_F(PortTest, CloseWakesABlockedWriterWithAFailure) {
  HANDLE port = Open(1000);
  std::string big(1 << 20, 'w');
  DWORD written = 0;
  auto writer = std::async(std::launch::async, [&] {
    return WriteFile(port, big.data(), static_cast<DWORD>(big.size()), &written,
                     nullptr);
  });
  EXPECT_EQ(writer.wait_for(200ms), std::future_status::timeout);
  EXPECT_TRUE(CloseHandle(port));
  ASSERT_EQ(writer.wait_for(kBound), std::future_status::ready);
  EXPECT_FALSE(writer.get());
  EXPECT_LT(written, big.size());
}

TEST_F(PortTest, LargeWriteArrivesWhole) {
  HANDLE port = Open(1000);
  std::string data(256 * 1024, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
  auto received =
      std::async(std::launch::async, [&] { return Receive(data.size()); });
  DWORD written = 0;
  EXPECT_TRUE(WriteFile(port, data.data(), static_cast<DWORD>(data.size()),
                        &written, nullptr));
  EXPECT_EQ(written, data.size());
  EXPECT_TRUE(received.get() == data);
  EXPECT_TRUE(CloseHandle(port));
}

TEST_F(PortTest, WriteFailsOnceTheLineIsGone) {
  HANDLE port = Open(1000);
  close(pty_.master);
  pty_.master = -1;
  DWORD written = 0;
  EXPECT_FALSE(WriteFile(port, "x", 1, &written, nullptr));
  EXPECT_TRUE(CloseHandle(port));
}

TEST_F(PortTest, ReadFailsOnceTheLineIsGone) {
  HANDLE port = Open(0);
  close(pty_.master);
  pty_.master = -1;
  auto reader = std::async(std::launch::async, [port] {
    char byte;
    DWORD got = 0;
    return ReadFile(port, &byte, 1, &got, nullptr);
  });
  bool ended = reader.wait_for(kBound) == std::future_status::ready;
  EXPECT_FALSE(ClearCommError(port, nullptr, nullptr));
  EXPECT_TRUE(CloseHandle(port));  // ends a reader that missed the hang-up
  EXPECT_TRUE(ended);
  EXPECT_FALSE(reader.get());
}

TEST_F(PortTest, AClosedHandleStaysDead) {
  HANDLE old = Open(1000);
  ASSERT_TRUE(CloseHandle(old));
  HANDLE port = Open(1000);
  EXPECT_NE(port, old);
  DCB dcb{};
  char byte;
  DWORD count;
  EXPECT_FALSE(GetCommState(old, &dcb));
  EXPECT_FALSE(ReadFile(old, &byte, 1, &count, nullptr));
  EXPECT_FALSE(WriteFile(old, "x", 1, &count, nullptr));
  EXPECT_FALSE(CloseHandle(old));
  EXPECT_TRUE(GetCommState(port, &dcb));
  EXPECT_TRUE(CloseHandle(port));
}

TEST_F(PortTest, FailedOpensLeaveNothingBehind) {
  struct Case {
    Call call;
    int error;
  };
  for (Case c : {Case{Call::kOpen, EACCES}, Case{Call::kFlock, EWOULDBLOCK},
                 Case{Call::kEventfd, EMFILE}, Case{Call::kIoctl, EIO}}) {
    int fds = OpenFdCount();
    {
      FaultScope faults;
      faults.Fail(c.call, 1, c.error);
      EXPECT_EQ(OpenPort(pty_.path), INVALID_HANDLE_VALUE);
    }
    EXPECT_EQ(OpenFdCount(), fds);
    HANDLE port = OpenPort(pty_.path);
    EXPECT_NE(port, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(CloseHandle(port));
  }
}

TEST_F(PortTest, FailedCallsLeaveThePortUsable) {
  int fds = OpenFdCount();
  HANDLE port = Open(1000);
  DCB dcb = Line(9600);
  FaultScope faults;
  faults.Fail(Call::kTcsetattr, 1, EIO);
  EXPECT_FALSE(SetCommState(port, &dcb));
  faults.Fail(Call::kTcgetattr, 1, EIO);
  EXPECT_FALSE(GetCommState(port, &dcb));
  faults.Fail(Call::kRead, 1, EIO);
  char byte;
  DWORD count;
  EXPECT_FALSE(ReadFile(port, &byte, 1, &count, nullptr));
  faults.Fail(Call::kWrite, 1, EIO);
  EXPECT_FALSE(WriteFile(port, "x", 1, &count, nullptr));

  // Interruptions and a full output queue are waited out.
  faults.Fail(Call::kWrite, 1, EAGAIN);
  EXPECT_TRUE(WriteFile(port, "abc", 3, &count, nullptr));
  EXPECT_EQ(Receive(3), "abc");
  faults.Fail(Call::kPoll, 1, EINTR);
  faults.Fail(Call::kRead, 2, EINTR);
  std::thread sender([&] {
    std::this_thread::sleep_for(50ms);
    Send("z");
  });
  EXPECT_EQ(Read(port, 1), "z");
  sender.join();

  // A failing close still releases everything, and the value dies.
  faults.Fail(Call::kClose, 1, EIO);
  EXPECT_FALSE(CloseHandle(port));
  EXPECT_FALSE(CloseHandle(port));
  EXPECT_EQ(OpenFdCount(), fds);
}

}  // namespace
