// The driver wrapper against the real driver library, with a controller on
// a pseudo-terminal that echoes what it is sent.
#include "driver.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <thread>

#include "pty.h"
#include "zempro/control.h"

namespace ulohost {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

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

}  // namespace
}  // namespace ulohost
