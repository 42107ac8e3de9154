// ulohost and prv1sim as separate processes, talking over a pseudo-terminal;
// the host's JSON lines show what happened.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <sstream>

#include "child_process.h"
#include "testing/datagram_receiver.h"

namespace ulohost {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using std::chrono::seconds;
using Steady = std::chrono::steady_clock;

constexpr const char *kListening = "prv1sim: listening on ";

std::string ReadFile(const std::string &path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// A controller (the simulator, linked as COM1 in a port directory) and a
// host running a config against it.
class SiteTest : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = testing::TempDir() + "ulohost_site_" + std::to_string(getpid()) +
           "_" + testing::UnitTest::GetInstance()->current_test_info()->name();
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override {
    host_.Stop(seconds(15));
    simulator_.Stop(seconds(5));
    fs::remove_all(dir_);
  }

  void StartSimulator(std::vector<std::string> options) {
    std::vector<std::string> argv = {PRV1SIM_BINARY, "--link", dir_ + "/COM1"};
    argv.insert(argv.end(), options.begin(), options.end());
    Child::Options child;
    child.stderr_file = dir_ + "/prv1sim.err";
    std::string error;
    ASSERT_TRUE(simulator_.Start(argv, child, error)) << error;
    std::optional<std::string> line = simulator_.ReadLine(seconds(10));
    ASSERT_TRUE(line && line->starts_with(kListening))
        << ReadFile(dir_ + "/prv1sim.err");
  }

  // A config with one instance on COM1 and the simulator's usual points.
  void WriteConfig(const std::string &host_fields) {
    std::ofstream(dir_ + "/site.toml") << "[host]\nport_dir = \".\"\n"
                                       << host_fields << R"(
[[instance]]
ulo = 1
port = "COM1"
restart_message = "RESTART 100"
gate = [{address = "$T1", type = "float"},
        {address = "$SP1", type = "float"},
        {address = "@DO1", type = "digital"}]
)";
  }

  void StartHost(std::vector<std::string> extra = {},
                 std::vector<std::string> env = {}) {
    std::vector<std::string> argv = {ULOHOST_BINARY, "--json"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    argv.push_back(dir_ + "/site.toml");
    Child::Options child;
    child.env = std::move(env);
    child.stderr_file = dir_ + "/ulohost.err";
    std::string error;
    ASSERT_TRUE(host_.Start(argv, child, error)) << error;
  }

  // Reads events until one matches; every event read is kept.
  std::optional<json> WaitFor(const std::function<bool(const json &)> &match,
                              std::chrono::seconds timeout) {
    Steady::time_point deadline = Steady::now() + timeout;
    while (Steady::now() < deadline) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - Steady::now());
      std::optional<std::string> line = host_.ReadLine(left);
      if (!line) break;
      json event = json::parse(*line, nullptr, false);
      EXPECT_FALSE(event.is_discarded()) << "not JSON: " << *line;
      if (event.is_discarded()) continue;
      events_.push_back(event);
      if (match(event)) return event;
    }
    return std::nullopt;
  }

  std::optional<json> WaitForEvent(const json &fields,
                                   std::chrono::seconds timeout) {
    return WaitFor(
        [&](const json &event) {
          for (auto &[key, value] : fields.items()) {
            if (!event.contains(key) || event[key] != value) return false;
          }
          return true;
        },
        timeout);
  }

  // An event that may have come before the one last waited for: the driver's
  // receiver and the host's worker thread report independently.
  bool SeenOrComes(const json &fields, std::chrono::seconds timeout) {
    return Seen(fields) || WaitForEvent(fields, timeout).has_value();
  }

  bool Seen(const json &fields) const {
    for (const json &event : events_) {
      bool all = true;
      for (auto &[key, value] : fields.items()) {
        all = all && event.contains(key) && event[key] == value;
      }
      if (all) return true;
    }
    return false;
  }

  std::string HostErrors() { return ReadFile(dir_ + "/ulohost.err"); }
  // Every event read so far, a line each, to show what came instead.
  std::string EventsSeen() const {
    std::string text;
    for (const json &event : events_) text += event.dump() + '\n';
    return text;
  }

  std::string dir_;
  Child simulator_;
  Child host_;
  std::vector<json> events_;
};

TEST_F(SiteTest, ValuesArriveWritesAreConfirmedAndShutdownIsClean) {
  StartSimulator({"--rate", "5"});
  WriteConfig("com_interval = 2\n");
  StartHost({"--trace", "--log", dir_ + "/host.log"});
  ASSERT_TRUE(
      WaitForEvent({{"event", "state"}, {"state", "running"}}, seconds(20)))
      << HostErrors();
  // The driver's messages reach the host's log (its err(), not the C
  // library's, which would have ended the process).
  EXPECT_TRUE(Seen({{"event", "log"},
                    {"text", "ULOPR1: Restart Message is 'RESTART 100'"}}));
  EXPECT_TRUE(Seen({{"event", "port"}, {"action", "start"}, {"result", 0}}));
  ASSERT_TRUE(WaitForEvent({{"event", "gate"}, {"gate", "$T1"}}, seconds(20)));
  // --trace shows the traffic.
  EXPECT_TRUE(WaitForEvent({{"event", "log"},
                            {"class", 8},
                            {"text", "ULOPR1: $T1 received from ULO 1"}},
                           seconds(20)));

  ASSERT_TRUE(
      host_.WriteLine(R"({"cmd":"write","ulo":1,"gate":"$SP1","value":23.5})"));
  std::optional<json> write =
      WaitForEvent({{"event", "write"}, {"gate", "$SP1"}}, seconds(30));
  ASSERT_TRUE(write);
  EXPECT_EQ((*write)["result"], 0);
  EXPECT_TRUE(SeenOrComes(
      {{"event", "gate"}, {"gate", "$SP1"}, {"value", 23.5}}, seconds(20)));

  ASSERT_TRUE(host_.WriteLine("write @DO1 1"));
  write = WaitForEvent({{"event", "write"}, {"gate", "@DO1"}}, seconds(30));
  ASSERT_TRUE(write);
  EXPECT_EQ((*write)["result"], 0);
  EXPECT_TRUE(SeenOrComes({{"event", "gate"}, {"gate", "@DO1"}, {"value", 1.0}},
                          seconds(20)));

  ASSERT_TRUE(host_.WriteLine("status 1"));
  std::optional<json> status = WaitForEvent(
      {{"event", "read"}, {"gate", "STATUS"}, {"scheduled", false}},
      seconds(20));
  ASSERT_TRUE(status);
  EXPECT_EQ((*status)["result"], 0);
  EXPECT_EQ((*status)["value"], 1);
  std::optional<json> com = WaitForEvent(
      {{"event", "read"}, {"gate", "COM"}, {"scheduled", true}}, seconds(20));
  ASSERT_TRUE(com);
  EXPECT_EQ((*com)["result"], 0);
  EXPECT_EQ((*com)["value"], 1);

  ASSERT_TRUE(host_.WriteLine("bogus"));
  EXPECT_TRUE(
      WaitForEvent({{"event", "notice"}, {"level", "error"}}, seconds(10)));

  ASSERT_TRUE(host_.WriteLine("quit"));
  EXPECT_TRUE(
      WaitForEvent({{"event", "state"}, {"state", "stopped"}}, seconds(30)));
  EXPECT_TRUE(Seen({{"event", "port"},
                    {"action", "close"},
                    {"reason", "shutdown"},
                    {"result", 0}}));
  // "stopped" comes once every client is gone, that is once each receiver
  // has ended; its last log line may come just after and is not waited for.
  EXPECT_EQ(host_.Wait(seconds(20)), 0);
  EXPECT_EQ(ReadFile(dir_ + "/uloPR101.int"), "RESTART 100\n");
  std::string log = ReadFile(dir_ + "/host.log");
  EXPECT_NE(log.find("ULOPR1: Restart Message is 'RESTART 100'"),
            std::string::npos);
  EXPECT_NE(log.find("ULOPR1: $T1 received from ULO 1"), std::string::npos);
}

TEST_F(SiteTest, PortCommandsCloseReopenAndChangeTheLine) {
  StartSimulator({"--rate", "5"});
  WriteConfig("com_interval = 60\n");
  StartHost();
  ASSERT_TRUE(
      WaitForEvent({{"event", "state"}, {"state", "running"}}, seconds(20)))
      << HostErrors();
  // The answer to the restart message is taken before the port closes (a
  // close drops what is still waiting on it).
  json first = {{"event", "gate"}, {"gate", "$SP1"}, {"updates", 1}};
  ASSERT_TRUE(SeenOrComes(first, seconds(10))) << EventsSeen();
  ASSERT_TRUE(host_.WriteLine("close"));
  EXPECT_TRUE(WaitForEvent(
      {{"event", "port"}, {"action", "close"}, {"result", 0}}, seconds(10)));
  ASSERT_TRUE(host_.WriteLine("reopen"));
  EXPECT_TRUE(WaitForEvent(
      {{"event", "port"}, {"action", "reopen"}, {"result", 0}}, seconds(10)));
  // New line settings on the same port.
  ASSERT_TRUE(host_.WriteLine(R"({"cmd":"port","name":"COM1","baud":4800})"));
  std::optional<json> change =
      WaitForEvent({{"event", "port"}, {"action", "change"}}, seconds(10));
  ASSERT_TRUE(change);
  EXPECT_EQ((*change)["result"], 0);
  ASSERT_TRUE(host_.WriteLine("warm"));
  EXPECT_TRUE(
      WaitForEvent({{"event", "port"}, {"action", "warm_start"}, {"result", 0}},
                   seconds(10)));
  // Still talking: the controller answers the restart with its values (the
  // answer may come before the warm start returns).
  json again = {{"event", "gate"}, {"gate", "$SP1"}, {"updates", 2}};
  EXPECT_TRUE(SeenOrComes(again, seconds(20))) << EventsSeen();
}

TEST_F(SiteTest, ASilentControllerShowsAsComFailure) {
  StartSimulator({"--silent"});
  WriteConfig("com_interval = 1\nreconnect_after = 0\n");
  StartHost();
  std::optional<json> com =
      WaitForEvent({{"event", "read"}, {"gate", "COM"}}, seconds(30));
  ASSERT_TRUE(com) << HostErrors();
  EXPECT_EQ((*com)["result"], 2);
  EXPECT_EQ((*com)["value"], 0);
  EXPECT_TRUE(WaitForEvent(
      {{"event", "log"}, {"text", "ULOPR1: Comms fail! Ulo 1"}}, seconds(10)));

  // STATUS reports the failure from now on.
  ASSERT_TRUE(host_.WriteLine(R"({"cmd":"status"})"));
  std::optional<json> status =
      WaitForEvent({{"event", "read"}, {"gate", "STATUS"}}, seconds(20));
  ASSERT_TRUE(status);
  EXPECT_EQ((*status)["result"], 2);

  // A signal stops the host as cleanly as quit.
  host_.Signal(SIGTERM);
  EXPECT_TRUE(
      WaitForEvent({{"event", "state"}, {"state", "stopped"}}, seconds(30)));
  EXPECT_EQ(host_.Wait(seconds(20)), 0);
}

TEST_F(SiteTest, ALineThatVanishesAndReturnsIsReconnected) {
  StartSimulator({"--rate", "5", "--vanish-after", "4", "--return-after", "5"});
  WriteConfig("com_interval = 1\nreconnect_after = 2\nreopen_interval = 1\n");
  StartHost();
  ASSERT_TRUE(WaitForEvent({{"event", "gate"}}, seconds(20))) << HostErrors();
  std::optional<json> failed = WaitForEvent(
      {{"event", "read"}, {"gate", "COM"}, {"result", 2}}, seconds(30));
  ASSERT_TRUE(failed);
  EXPECT_TRUE(WaitForEvent(
      {{"event", "port"}, {"action", "close"}, {"reason", "reconnect"}},
      seconds(30)));
  EXPECT_TRUE(WaitForEvent({{"event", "port"},
                            {"action", "reopen"},
                            {"reason", "reconnect"},
                            {"result", 0}},
                           seconds(40)));
  EXPECT_TRUE(
      WaitForEvent({{"event", "port"}, {"action", "warm_start"}, {"result", 0}},
                   seconds(10)));
  // The controller on the new line reports again.
  EXPECT_TRUE(WaitForEvent({{"event", "gate"}}, seconds(20)));
  EXPECT_TRUE(WaitForEvent({{"event", "read"}, {"gate", "COM"}, {"result", 0}},
                           seconds(20)));
}

TEST_F(SiteTest, ABadConfigStartsNothing) {
  std::ofstream(dir_ + "/site.toml")
      << "[[instance]]\nulo = 1\nport = \"COM1\"\nbaud = 115200\n";
  StartHost();
  EXPECT_EQ(host_.Wait(seconds(20)), 2);
  EXPECT_FALSE(host_.ReadLine(seconds(1)));
  std::string errors = HostErrors();
  EXPECT_NE(errors.find("site.toml:4:8: instance[1].baud:"), std::string::npos)
      << errors;
}

TEST_F(SiteTest, AMissingPortStartsNothing) {
  fs::create_symlink("/dev/pts/no-such-terminal", dir_ + "/COM1");
  WriteConfig("");
  StartHost();
  EXPECT_EQ(host_.Wait(seconds(20)), 2);
  EXPECT_FALSE(host_.ReadLine(seconds(1)));
  std::string errors = HostErrors();
  EXPECT_NE(errors.find("site.toml:6:8: instance[1].port: port 'COM1' not "
                        "found"),
            std::string::npos)
      << errors;
}

TEST_F(SiteTest, APortHeldElsewhereFailsTheStart) {
  StartSimulator({});
  int held = open((dir_ + "/COM1").c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(held, 0);
  ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
  WriteConfig("");
  StartHost();
  EXPECT_TRUE(WaitForEvent(
      {{"event", "port"}, {"action", "start"}, {"result", 2}}, seconds(20)));
  EXPECT_EQ(host_.Wait(seconds(20)), 1);
  EXPECT_NE(HostErrors().find("instance[1].port: ulo 1 cannot open port "
                              "'COM1'"),
            std::string::npos)
      << HostErrors();
  close(held);
}

// As systemd runs it (Type=notify, WatchdogSec=): ready once the instance
// has started, the watchdog fed while its receiver runs, then the stop.
TEST_F(SiteTest, TellsTheServiceManagerReadyWatchdogAndStopping) {
  std::string address = "@ulohost_site_" + std::to_string(getpid());
  DatagramReceiver manager(address);
  ASSERT_TRUE(manager.bound());
  StartSimulator({});
  WriteConfig("");
  StartHost({}, {"NOTIFY_SOCKET=" + address, "WATCHDOG_USEC=400000"});
  std::optional<std::string> ready = manager.Receive(seconds(20));
  ASSERT_EQ(ready, "READY=1") << HostErrors();
  EXPECT_TRUE(
      Seen({{"event", "state"}, {"state", "running"}}) ||
      WaitForEvent({{"event", "state"}, {"state", "running"}}, seconds(5)));
  EXPECT_EQ(manager.Receive(seconds(10)), "WATCHDOG=1");
  EXPECT_EQ(manager.Receive(seconds(10)), "WATCHDOG=1");
  host_.Signal(SIGTERM);
  std::optional<std::string> last;
  while (std::optional<std::string> state = manager.Receive(seconds(10))) {
    last = state;
    if (*state != "WATCHDOG=1") break;
  }
  EXPECT_EQ(last, "STOPPING=1");
  EXPECT_EQ(host_.Wait(seconds(20)), 0);
}

TEST(CommandLineTest, VersionHelpAndUsageErrors) {
  struct Case {
    std::vector<std::string> args;
    int code;
    std::string output;  // expected in stdout and stderr
  } cases[] = {
      {{"--version"}, 0, "ulohost " ULOHOST_VERSION},
      {{"--help"}, 0, "Usage:"},
      {{"--no-such-option"}, 64, "--no-such-option"},
      {{"--duration", "-1", "site.toml"}, 64, "--duration"},
      {{}, 64, "give a config file"},
      {{"no-such-site.toml"}, 2, "no-such-site.toml"},
  };
  for (const Case &c : cases) {
    std::vector<std::string> argv = {ULOHOST_BINARY};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    SCOPED_TRACE(testing::PrintToString(c.args));
    Child host;
    Child::Options options;
    options.stderr_file = testing::TempDir() + "ulohost_command_line.err";
    std::string error;
    ASSERT_TRUE(host.Start(argv, options, error)) << error;
    std::string output;
    while (std::optional<std::string> line = host.ReadLine(seconds(10))) {
      output += *line + '\n';
    }
    EXPECT_EQ(host.Wait(seconds(10)), c.code);
    output += ReadFile(options.stderr_file);
    EXPECT_NE(output.find(c.output), std::string::npos) << output;
  }
}

// A copy of ulohost away from its build tree and without an install around
// it: nothing to load, and the error says every place it looked.
TEST(DriverSearchTest, ACopiedHostNamesEveryPlaceItLooked) {
  fs::path dir = fs::path(testing::TempDir()) /
                 ("ulohost_copy_" + std::to_string(getpid())) / "bin";
  fs::create_directories(dir);
  fs::copy_file(ULOHOST_BINARY, dir / "ulohost",
                fs::copy_options::overwrite_existing);
  std::ofstream(dir / "site.toml") << "[[instance]]\nulo = 1\nport = \"NUL\"\n";
  Child host;
  Child::Options options;
  options.stderr_file = (dir / "ulohost.err").string();
  std::string error;
  ASSERT_TRUE(host.Start(
      {(dir / "ulohost").string(), "--json", (dir / "site.toml").string()},
      options, error))
      << error;
  EXPECT_EQ(host.Wait(seconds(20)), 1);
  std::string errors = ReadFile(options.stderr_file);
  for (const fs::path &place :
       {dir / "libulopr1.so", dir / ULOHOST_LIBDIR_RELPATH / "libulopr1.so"}) {
    EXPECT_NE(errors.find(place.lexically_normal().string()), std::string::npos)
        << errors;
  }
  EXPECT_NE(errors.find("host.driver"), std::string::npos) << errors;
  fs::remove_all(dir.parent_path());
}

TEST(DemoTest, RunsWithNoSetUp) {
  Child demo;
  Child::Options options;
  options.stderr_file = testing::TempDir() + "ulohost_demo.err";
  std::string error;
  ASSERT_TRUE(demo.Start({ULOHOST_BINARY, "demo", "--duration", "12", "--json"},
                         options, error))
      << error;
  bool value = false, confirmed = false, stopped = false;
  while (std::optional<std::string> line = demo.ReadLine(seconds(30))) {
    json event = json::parse(*line, nullptr, false);
    ASSERT_FALSE(event.is_discarded()) << *line;
    value = value || event["event"] == "gate";
    confirmed = confirmed || (event["event"] == "write" && event["ok"] == true);
    stopped = stopped || event["state"] == "stopped";
  }
  EXPECT_TRUE(value);
  EXPECT_TRUE(confirmed);
  EXPECT_TRUE(stopped);
  EXPECT_EQ(demo.Wait(seconds(20)), 0) << ReadFile(options.stderr_file);
}

}  // namespace
}  // namespace ulohost
