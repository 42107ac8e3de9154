// The driver wrapper against the real driver library, with a controller on
// a pseudo-terminal that echoes what it is sent.
#include "driver.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>
#include <vector>

#include "instances.h"
#include "pty.h"
#include "system.h"
#include "zempro/control.h"

namespace ulohost {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

// Echoes every line that starts with '$' or '@' and keeps all it received.
class EchoController {
 public:
  explicit EchoController(int fd) : fd_(fd), thread_([this] { Run(); }) {}
  ~EchoController() {
    stop_ = true;
    thread_.join();
  }
  std::string Received() {
    std::lock_guard lock(mutex_);
    return received_;
  }
  void Send(const std::string &bytes) {
    ASSERT_EQ(write(fd_, bytes.data(), bytes.size()),
              static_cast<ssize_t>(bytes.size()));
  }

 private:
  void Run() {
    std::string line;
    while (!stop_) {
      pollfd ready{fd_, POLLIN, 0};
      if (poll(&ready, 1, 50) <= 0) continue;
      char c;
      if (read(fd_, &c, 1) != 1) continue;
      {
        std::lock_guard lock(mutex_);
        received_ += c;
      }
      line += c;
      if (c != '\r') continue;
      if (line[0] == '$' || line[0] == '@') Send(line);
      line.clear();
    }
  }

  int fd_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::string received_;
  std::thread thread_;
};

// Whether a file is mapped into this process.
bool Mapped(const std::string &path) {
  std::ifstream maps("/proc/self/maps");
  for (std::string line; std::getline(maps, line);) {
    if (line.ends_with(" " + path)) return true;
  }
  return false;
}

// Waits until none of these threads of this process runs any more.
bool WaitThreadsEnded(const std::vector<pid_t> &threads, milliseconds timeout) {
  auto running = [](pid_t thread) {
    return fs::exists("/proc/self/task/" + std::to_string(thread));
  };
  const auto deadline = steady_clock::now() + timeout;
  while (std::ranges::any_of(threads, running)) {
    if (steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(milliseconds(10));
  }
  return true;
}

// Two instances on pseudo-terminals, COM7 and COM8. The library is loaded
// by the test itself rather than through DriverLibrary, which keeps it
// loaded for good; this comes before DriverTest so that a run of the whole
// program reaches it before those tests have pinned the library.
class DriverUnloadTest : public testing::Test {
 protected:
  static constexpr int32_t kUlos[] = {7, 8};

  void SetUp() override {
    zempro::Reset();
    // Each receiver logs this line from its own thread as it starts.
    sink_ = zempro::AddLogSink([this](const zempro::LogRecord &record) {
      if (record.text != "UloPR1: Start Report-By-Exception Thread") return;
      std::lock_guard lock(mutex_);
      receivers_.push_back(gettid());
    });
    dir_ = testing::TempDir() + "ulohost_unload_" + std::to_string(getpid());
    fs::create_directories(dir_);
    setenv("ULO_PORT_DIR", dir_.c_str(), 1);
    std::string error;
    for (int i = 0; i < 2; ++i) {
      ASSERT_TRUE(ulo::tools::OpenPty(ptys_[i], error)) << error;
      fs::create_symlink(ptys_[i].path,
                         dir_ + "/COM" + std::to_string(kUlos[i]));
    }
  }
  void TearDown() override {
    zempro::RemoveLogSink(sink_);
    for (ulo::tools::Pty &pty : ptys_) ulo::tools::ClosePty(pty);
    fs::remove_all(dir_);
  }
  std::vector<pid_t> Receivers() {
    std::lock_guard lock(mutex_);
    return receivers_;
  }

  int sink_ = -1;
  std::mutex mutex_;
  std::vector<pid_t> receivers_;
  std::string dir_;
  ulo::tools::Pty ptys_[2];
};

TEST_F(DriverUnloadTest, UnloadsOnceEveryInstanceHasStopped) {
  const std::string path = fs::canonical(ULOHOST_TEST_DRIVER).string();
  if (Mapped(path)) GTEST_SKIP() << "an earlier test has pinned " << path;
  std::string error;
  void *library = sys::OpenLibrary(path, error);
  ASSERT_TRUE(library) << error;
  auto entry = reinterpret_cast<int32_t (*)(UloRequest *)>(
      sys::FindSymbol(library, "UloMain"));
  ASSERT_TRUE(entry);
  alignas(8) std::byte workspaces[2][140]{};
  auto send = [&](int i, int32_t command, void *args) {
    UloRequest request{workspaces[i], command, kUlos[i], 0, args};
    return entry(&request);
  };
  for (int i = 0; i < 2; ++i) {
    StartParameters start{};
    std::snprintf(start.port, sizeof start.port, "COM%d", kUlos[i]);
    start.enabled = 1;
    start.read_timeout = 100;
    start.line = {9600, 8, 0, 0};
    ASSERT_EQ(send(i, ULO_CMD_START, &start), ULO_DONE);
  }

  // Stop as the host does: close the ports while the receivers run, stop
  // the clients; the first command after a receiver has ended releases its
  // event.
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(send(i, ULO_CMD_CLOSE_PORT, nullptr), ULO_DONE);
  }
  zempro::StopAllClients();
  for (int i = 0; i < 2; ++i) {
    char client[16];
    std::snprintf(client, sizeof client, "PR1_No_%.2d", kUlos[i]);
    ASSERT_TRUE(zempro::WaitClientGone(client, milliseconds(10000)));
    EXPECT_EQ(send(i, ULO_CMD_CLOSE_PORT, nullptr), ULO_DONE);
  }
  // A receiver removes its client before it returns, so only the end of its
  // thread shows that it has left the library's code.
  ASSERT_EQ(Receivers().size(), 2u);
  ASSERT_TRUE(WaitThreadsEnded(Receivers(), milliseconds(10000)));
  sys::CloseLibrary(library);
  EXPECT_FALSE(Mapped(path));
}

class DriverTest : public testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    library_ = DriverLibrary::Load(ULOHOST_TEST_DRIVER, error);
    ASSERT_TRUE(library_) << error;
    ASSERT_TRUE(ulo::tools::OpenPty(pty_, error)) << error;
    dir_ = testing::TempDir() + "ulohost_driver_" + std::to_string(getpid());
    fs::create_directories(dir_);
    fs::create_symlink(pty_.path, dir_ + "/COM9");
    setenv("ULO_PORT_DIR", dir_.c_str(), 1);
  }
  void TearDown() override {
    ulo::tools::ClosePty(pty_);
    fs::remove_all(dir_);
  }

  std::unique_ptr<DriverLibrary> library_;
  ulo::tools::Pty pty_;
  std::string dir_;
};

TEST_F(DriverTest, DescribesItselfWithoutAWorkspace) {
  Description description = library_->Describe();
  EXPECT_EQ(description.name, "Landis & Staefa PRV1");
  EXPECT_EQ(description.workspace_size, 140);
  EXPECT_EQ(description.line.baud, 9600);
  EXPECT_EQ(description.line.data_bits, 8);
  EXPECT_FALSE(description.banner.empty());
}

TEST_F(DriverTest, GateChecksReportTheDriversVerdict) {
  DriverInstance instance(*library_, 9, 140);
  CheckedGate float_gate = instance.CheckGate("$T1", ULO_TYPE_FLOAT);
  EXPECT_EQ(float_gate.result, 0);
  EXPECT_EQ(float_gate.definition.width, 32);
  EXPECT_EQ(instance.CheckGate("@DO3", ULO_TYPE_DIGITAL).definition.width, 16);
  EXPECT_EQ(instance.CheckGate("com", ULO_TYPE_DIGITAL).result, 0);
  EXPECT_EQ(instance.CheckGate("STATUS", ULO_TYPE_FLOAT).result, 1);
  EXPECT_EQ(instance.CheckGate("T1", ULO_TYPE_FLOAT).result, 1);
}

TEST_F(DriverTest, RunsAnInstanceOverAPseudoTerminal) {
  zempro::Reset();
  EchoController controller(pty_.master);
  DriverInstance instance(*library_, 9, 140);
  PortSpec port{"COM9", 100, {9600, 8, 0, 0}};
  ASSERT_EQ(instance.Start(port, true), 0);

  // Values go out in the value block where the driver reads them: a float
  // at its start, a 16-bit value two bytes in.
  EXPECT_EQ(instance.Write("$SP1", ULO_TYPE_FLOAT, 21.5), 0);
  EXPECT_EQ(instance.Write("@DO3", ULO_TYPE_DIGITAL, 300), 0);
  EXPECT_EQ(controller.Received(), "RESTART 100\r$SP1=21.500000\r@DO3=300\r");

  // COM answers in the value block too.
  controller.Send(
      "\x02"
      "01$T1=20.5\r\x03");
  ReadResult com = instance.Read("COM");
  EXPECT_EQ(com.result, 0);
  EXPECT_EQ(com.value, 1);

  // Shut down as the host does: close, stop the receiver, release.
  EXPECT_EQ(instance.ClosePort(), 0);
  zempro::StopAllClients();
  ASSERT_TRUE(zempro::WaitClientGone("PR1_No_09", milliseconds(10000)));
  EXPECT_EQ(instance.ClosePort(), 0);
}

// What the service watchdog asks: whether the started instances' receivers
// still run.
TEST_F(DriverTest, ReceiversCountAsAliveUntilTheyAreStopped) {
  zempro::Reset();
  std::ofstream(dir_ + "/site.toml")
      << "[[instance]]\nulo = 9\nport = \"COM9\"\n";
  Config config;
  ConfigErrors config_errors;
  ASSERT_TRUE(LoadConfig(dir_ + "/site.toml", config, config_errors))
      << config_errors.ToString();
  struct : EventSink {
    void Emit(const Event &) override {}
  } ignored;
  Host host(config, *library_, library_->Describe(), ignored);
  std::string error;
  ASSERT_TRUE(host.Start(false, error)) << error;
  EXPECT_TRUE(host.ReceiversAlive(std::chrono::seconds(10)));
  zempro::StopAllClients();  // as if something had ended them
  EXPECT_FALSE(host.ReceiversAlive(std::chrono::seconds(10)));
  host.Shutdown();
}

}  // namespace
}  // namespace ulohost
