// Network ports against a real ser2net on loopback, its serial device a
// pseudo-terminal whose master the test reads and writes.
#include "network_port.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "os.h"
#include "platform/port_name.h"
#include "platform/syscall_faults.h"
#include "pty.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace std::string_literals;
using ulo::os::EntryKind;
using ulo::sys::Call;

fs::path TempDir() {
  std::string base = (fs::temp_directory_path() / "ulo-net-XXXXXX").string();
  EXPECT_NE(mkdtemp(base.data()), nullptr);
  return base;
}

// A loopback port nobody listens on (until someone binds it).
int FreePort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&address), length), 0);
  EXPECT_EQ(getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length),
            0);
  close(fd);
  return ntohs(address.sin_port);
}

TEST(PortEntryTest, LinksAndOneLineFilesNameNetworkPorts) {
  fs::path dir = TempDir();
  struct Case {
    const char *text;
    EntryKind kind;
    const char *peer;
  };
  const Case cases[] = {
      {"tcp://127.0.0.1:2001", EntryKind::kNetwork, "127.0.0.1:2001"},
      {"tcp://server.site:65535", EntryKind::kNetwork, "server.site:65535"},
      {"tcp://[::1]:7", EntryKind::kNetwork, "::1:7"},
      {"rfc2217://127.0.0.1:2002", EntryKind::kNetwork, "127.0.0.1:2002"},
      {"rfc2217://127.0.0.1:", EntryKind::kUnusable, ""},
      {"tcp://127.0.0.1", EntryKind::kUnusable, ""},
      {"tcp://127.0.0.1:0", EntryKind::kUnusable, ""},
      {"tcp://127.0.0.1:65536", EntryKind::kUnusable, ""},
      {"tcp://127.0.0.1:02001", EntryKind::kUnusable, ""},
      {"tcp://127.0.0.1:20x1", EntryKind::kUnusable, ""},
      {"tcp://::1:7", EntryKind::kUnusable, ""},
      {"tcp://:7", EntryKind::kUnusable, ""},
      {"tcp://a/b:7", EntryKind::kUnusable, ""},
      {"/nonexistent/tty", EntryKind::kDevice, ""},
      {"ttcp://127.0.0.1:7", EntryKind::kDevice, ""},
  };
  for (const Case &c : cases) {
    for (bool link : {true, false}) {
      fs::path entry = dir / "COM1";
      fs::remove(entry);
      if (link) {
        fs::create_symlink(c.text, entry);
      } else {
        std::ofstream(entry) << c.text << "\n";
      }
      ulo::os::NetworkAddress address{};
      EntryKind kind = ulo::os::ReadPortEntry(entry.c_str(), address);
      EXPECT_EQ(kind, c.kind) << c.text << (link ? " link" : " file");
      if (kind == EntryKind::kNetwork) {
        EXPECT_STREQ(address.peer, c.peer);
      }
      // The tools take a network port's link for a port that is there.
      if (link) {
        EXPECT_EQ(ulo::os::FindPortDevice(entry.c_str()) ==
                      ulo::os::PortFound::kDevice,
                  kind == EntryKind::kNetwork)
            << c.text;
      }
    }
  }
  // A second line makes the file no address.
  std::ofstream(dir / "COM2") << "tcp://127.0.0.1:7\nmore\n";
  ulo::os::NetworkAddress address{};
  EXPECT_EQ(ulo::os::ReadPortEntry((dir / "COM2").c_str(), address),
            EntryKind::kUnusable);
  fs::remove_all(dir);
}

// ser2net serving the pseudo-terminal on free loopback ports, as raw TCP
// (COM1 in a port directory of the test's) and as RFC 2217 (COM2).
class Ser2netTest : public testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(ulo::tools::OpenPty(pty_, error)) << error;
    dir_ = TempDir();
    port_ = FreePort();
    telnet_port_ = FreePort();
    std::ofstream config(dir_ / "ser2net.yaml");
    for (auto [accepter, port] :
         {std::pair{"tcp", port_},
          std::pair{"telnet(rfc2217),tcp", telnet_port_}}) {
      config << "connection: &line" << port << "\n  accepter: " << accepter
             << ",127.0.0.1," << port << "\n  connector: serialdev,"
             << pty_.path << ",9600n81,local\n";
    }
    config.close();
    fs::create_symlink("tcp://127.0.0.1:" + std::to_string(port_),
                       dir_ / "COM1");
    fs::create_symlink("rfc2217://127.0.0.1:" + std::to_string(telnet_port_),
                       dir_ / "COM2");
    setenv("ULO_PORT_DIR", dir_.c_str(), 1);
    StartServer();
  }

  void TearDown() override {
    StopServer();
    unsetenv("ULO_PORT_DIR");
    ulo::tools::ClosePty(pty_);
    fs::remove_all(dir_);
  }

  void StartServer() {
    std::string config = (dir_ / "ser2net.yaml").string();
    std::string pid_file = (dir_ / "ser2net.pid").string();
    server_ = fork();
    if (server_ == 0) {
      execlp("ser2net", "ser2net", "-n", "-d", "-u", "-P", pid_file.c_str(),
             "-c", config.c_str(), static_cast<char *>(nullptr));
      _exit(127);
    }
    ASSERT_GT(server_, 0);
    for (int tries = 0; tries < 500 && !Listening(); ++tries) {
      std::this_thread::sleep_for(10ms);
    }
    ASSERT_TRUE(Listening()) << "ser2net did not start (is it installed?)";
  }

  void StopServer() {
    if (server_ <= 0) return;
    kill(server_, SIGKILL);
    waitpid(server_, nullptr, 0);
    server_ = -1;
  }

  // Whether both loopback ports are in the kernel's table of listening
  // sockets.
  bool Listening() const {
    std::ifstream table("/proc/net/tcp");
    int found = 0;
    std::string line;
    while (std::getline(table, line)) {
      std::istringstream fields(line);
      std::string slot, local, remote, state;
      fields >> slot >> local >> remote >> state;
      for (int port : {port_, telnet_port_}) {
        char wanted[32];
        std::snprintf(wanted, sizeof wanted, "0100007F:%04X", port);
        if (local == wanted && state == "0A") ++found;
      }
    }
    return found == 2;
  }

  static HANDLE Open(const char *name = "COM1") {
    return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, 0);
  }

  std::string Receive(size_t count) {
    std::string got;
    pollfd master = {pty_.master, POLLIN, 0};
    char chunk[256];
    while (got.size() < count && poll(&master, 1, 5000) > 0) {
      ssize_t n = read(pty_.master, chunk, sizeof chunk);
      if (n <= 0) break;
      got.append(chunk, static_cast<size_t>(n));
    }
    return got;
  }

  // Sends bytes from the device's side and waits until the port has them
  // all waiting (or a wait that must end has passed).
  void SendAndAwait(HANDLE port, const std::string &bytes) {
    ASSERT_EQ(write(pty_.master, bytes.data(), bytes.size()),
              static_cast<ssize_t>(bytes.size()));
    for (int tries = 0; tries < 500 && Waiting(port) < bytes.size(); ++tries) {
      std::this_thread::sleep_for(10ms);
    }
  }

  // Writes bytes to the port and checks that the device gets them.
  void SendAndCheck(HANDLE port, const std::string &bytes) {
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(port, bytes.data(), static_cast<DWORD>(bytes.size()),
                          &written, nullptr));
    EXPECT_EQ(written, bytes.size());
    EXPECT_EQ(Receive(bytes.size()), bytes);
  }

  static DWORD Waiting(HANDLE port) {
    COMSTAT stat{};
    EXPECT_TRUE(ClearCommError(port, nullptr, &stat));
    return stat.cbInQue;
  }

  ulo::tools::Pty pty_;
  fs::path dir_;
  int port_ = 0;
  int telnet_port_ = 0;
  pid_t server_ = -1;
};

TEST_F(Ser2netTest, BytesPassBothWaysUnderTheSerialContract) {
  HANDLE port = Open();
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  // The settings are the server's: kept and read back, never sent.
  DCB dcb{};
  ASSERT_TRUE(GetCommState(port, &dcb));
  EXPECT_EQ(dcb.BaudRate, 9600u);
  dcb.BaudRate = 4800;
  dcb.Parity = EVENPARITY;
  EXPECT_TRUE(SetCommState(port, &dcb));
  DCB back{};
  ASSERT_TRUE(GetCommState(port, &back));
  EXPECT_EQ(back.BaudRate, 4800u);
  EXPECT_EQ(back.Parity, EVENPARITY);
  dcb.ByteSize = 9;
  EXPECT_FALSE(SetCommState(port, &dcb));
  COMMTIMEOUTS timeouts{};
  timeouts.ReadTotalTimeoutConstant = 300;
  ASSERT_TRUE(SetCommTimeouts(port, &timeouts));
  // One open per server port in this process.
  EXPECT_EQ(Open(), INVALID_HANDLE_VALUE);

  SendAndCheck(port, "ULO\r\n\xff\x00 all bytes"s);
  const std::string in = "\xff\xfd\x2c reply"s;
  SendAndAwait(port, in);
  EXPECT_EQ(Waiting(port), in.size());
  // Asking for more than comes: the total timeout ends the read with what
  // there is, and what the read-ahead holds still counts as waiting.
  char buffer[64];
  DWORD got = 0;
  ASSERT_TRUE(ReadFile(port, buffer, 1, &got, nullptr));
  EXPECT_EQ(Waiting(port), in.size() - 1);
  DWORD rest = 0;
  ASSERT_TRUE(ReadFile(port, buffer + 1, sizeof buffer - 1, &rest, nullptr));
  EXPECT_EQ(std::string(buffer, got + rest), in);

  EXPECT_TRUE(CloseHandle(port));
  port = Open();
  EXPECT_NE(port, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(CloseHandle(port));
}

TEST_F(Ser2netTest, ALostServerFailsABlockedRead) {
  HANDLE port = Open();
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  std::thread killer([this] {
    std::this_thread::sleep_for(100ms);
    StopServer();
  });
  char byte;
  DWORD got = 0;
  // No timeout: only the lost connection ends the read.
  EXPECT_FALSE(ReadFile(port, &byte, 1, &got, nullptr));
  killer.join();
  EXPECT_FALSE(WriteFile(port, "x", 1, &got, nullptr));
  EXPECT_TRUE(CloseHandle(port));
}

TEST_F(Ser2netTest, FailedOpensLeaveNothingBehind) {
  fs::create_symlink("tcp://127.0.0.1:" + std::to_string(FreePort()),
                     dir_ / "COM8");
  std::ofstream(dir_ / "COM9") << "tcp://127.0.0.1:0\n";
  int fds = ulo::sys::OpenFdCount();
  EXPECT_EQ(Open("COM8"), INVALID_HANDLE_VALUE);  // refused
  EXPECT_EQ(Open("COM9"), INVALID_HANDLE_VALUE);  // no address
  for (Call call : {Call::kGetaddrinfo, Call::kSocket, Call::kConnect,
                    Call::kSetsockopt, Call::kEventfd}) {
    ulo::sys::FaultScope faults;
    faults.Fail(call, 1, EIO);
    EXPECT_EQ(Open(), INVALID_HANDLE_VALUE) << static_cast<int>(call);
  }
  EXPECT_EQ(ulo::sys::OpenFdCount(), fds);
  HANDLE port = Open();
  EXPECT_NE(port, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(CloseHandle(port));
}

}  // namespace

namespace {

TEST_F(Ser2netTest, Rfc2217SetsTheServersLineAndEscapesIacBothWays) {
  HANDLE port = Open("COM2");
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  DCB dcb{};
  ASSERT_TRUE(GetCommState(port, &dcb));
  dcb.BaudRate = 19200;
  dcb.ByteSize = 7;
  dcb.Parity = EVENPARITY;
  dcb.StopBits = TWOSTOPBITS;
  ASSERT_TRUE(SetCommState(port, &dcb));
  // A pseudo-terminal keeps only the speed and stop bits (Linux forces 8
  // data bits and no parity on it).
  termios line{};
  for (int tries = 0; tries < 500; ++tries) {
    ASSERT_EQ(tcgetattr(pty_.keeper, &line), 0);
    if (cfgetospeed(&line) == B19200 && (line.c_cflag & CSTOPB)) break;
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_EQ(cfgetospeed(&line), B19200);
  EXPECT_TRUE(line.c_cflag & CSTOPB);

  SendAndCheck(port, "a\xff\xff\xfb\x01 b"s);
  // The server doubles the IACs; only the data bytes count as waiting.
  const std::string in = "\xff\xfd\x2c\xff"s;
  SendAndAwait(port, in);
  EXPECT_EQ(Waiting(port), in.size());
  DWORD done = 0;
  char buffer[8];
  ASSERT_TRUE(
      ReadFile(port, buffer, static_cast<DWORD>(in.size()), &done, nullptr));
  EXPECT_EQ(std::string(buffer, done), in);
  EXPECT_TRUE(CloseHandle(port));
}

TEST_F(Ser2netTest, Rfc2217OpenFailsOnAServerThatSpeaksNoTelnet) {
  fs::create_symlink("rfc2217://127.0.0.1:" + std::to_string(port_),
                     dir_ / "COM3");
  int fds = ulo::sys::OpenFdCount();
  EXPECT_EQ(Open("COM3"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(ulo::sys::OpenFdCount(), fds);
}

}  // namespace
