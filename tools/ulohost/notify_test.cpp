#include "notify.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>

#include "testing/datagram_receiver.h"

namespace ulohost {
namespace {

using std::chrono::milliseconds;

std::string SocketPath(const std::string &name) {
  return testing::TempDir() + "ulohost_notify_" + std::to_string(getpid()) +
         "_" + name;
}

TEST(SendServiceStateTest, ReachesTheSocketOrSaysWhyNot) {
  std::string path = SocketPath("path");
  std::string abstract = "@ulohost_notify_" + std::to_string(getpid());
  struct Case {
    std::string address;
    bool listening;
    bool delivered;
  } cases[] = {
      {path, true, true},
      {abstract, true, true},
      {SocketPath("missing"), false, false},
      {"relative/socket", false, false},
      {"/" + std::string(200, 'x'), false, false},  // longer than sun_path
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.address);
    std::optional<DatagramReceiver> receiver;
    if (c.listening) {
      receiver.emplace(c.address);
      ASSERT_TRUE(receiver->bound());
    }
    std::string error;
    EXPECT_EQ(SendServiceState(c.address, "READY=1\nSTATUS=up", error),
              c.delivered);
    EXPECT_EQ(error.empty(), c.delivered) << error;
    if (receiver) {
      EXPECT_EQ(receiver->Receive(milliseconds(5000)), "READY=1\nSTATUS=up");
    }
  }
}

// The variables a service manager sets, for one test.
class ServiceEnvironment : public testing::Test {
 protected:
  void TearDown() override {
    for (const char *name : {"NOTIFY_SOCKET", "WATCHDOG_USEC", "WATCHDOG_PID"})
      unsetenv(name);
  }
};

TEST_F(ServiceEnvironment, ReadyThenWatchdogOnlyWhileAliveThenStopping) {
  std::string address = "@ulohost_notifier_" + std::to_string(getpid());
  DatagramReceiver manager(address);
  ASSERT_TRUE(manager.bound());
  setenv("NOTIFY_SOCKET", address.c_str(), 1);
  setenv("WATCHDOG_USEC", "100000", 1);
  setenv("WATCHDOG_PID", std::to_string(getpid()).c_str(), 1);
  std::vector<std::string> problems;
  ServiceNotifier notifier(
      [&](const std::string &problem) { problems.push_back(problem); });
  ASSERT_EQ(notifier.watchdog(), milliseconds(100));

  notifier.Ready();
  EXPECT_EQ(manager.Receive(milliseconds(5000)), "READY=1");
  // Three intervals of an unsound host: nothing is sent.
  for (int i = 0; i < 30; ++i) {
    notifier.FeedWatchdog([](auto) { return false; });
    std::this_thread::sleep_for(milliseconds(10));
  }
  EXPECT_EQ(manager.Receive(milliseconds(0)), std::nullopt);

  ServiceNotifier::Steady::duration asked{};
  std::optional<std::string> fed;
  for (int i = 0; i < 500 && !fed; ++i) {
    notifier.FeedWatchdog([&](auto interval) {
      asked = interval;
      return true;
    });
    fed = manager.Receive(milliseconds(10));
  }
  EXPECT_EQ(fed, "WATCHDOG=1");
  EXPECT_EQ(asked, milliseconds(100));

  notifier.Stopping();
  EXPECT_EQ(manager.Receive(milliseconds(5000)), "STOPPING=1");
  EXPECT_TRUE(problems.empty());
}

TEST_F(ServiceEnvironment, OtherProcessesWatchdogIgnoredAndOneFailureTold) {
  std::string address = SocketPath("nobody");
  setenv("NOTIFY_SOCKET", address.c_str(), 1);
  setenv("WATCHDOG_USEC", "100000", 1);
  setenv("WATCHDOG_PID", std::to_string(getpid() + 1).c_str(), 1);
  std::vector<std::string> problems;
  ServiceNotifier notifier(
      [&](const std::string &problem) { problems.push_back(problem); });
  EXPECT_EQ(notifier.watchdog(), std::nullopt);
  notifier.Ready();
  notifier.Stopping();
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_NE(problems[0].find("READY=1 at " + address), std::string::npos)
      << problems[0];
}

}  // namespace
}  // namespace ulohost
