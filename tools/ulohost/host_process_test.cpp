// ulohost and prv1sim as separate processes, talking over a pseudo-terminal;
// the host's JSON lines show what happened.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "child_process.h"
#include "pty.h"
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
    second_.Stop(seconds(5));
    fs::remove_all(dir_);
  }

  // A simulator linked as port (COM1 unless said) in the port directory.
  void StartSimulator(std::vector<std::string> options,
                      const std::string &port = "COM1") {
    Child &simulator = port == "COM1" ? simulator_ : second_;
    std::vector<std::string> argv = {PRV1SIM_BINARY, "--link",
                                     dir_ + "/" + port};
    argv.insert(argv.end(), options.begin(), options.end());
    Child::Options child;
    child.stderr_file = dir_ + "/prv1sim-" + port + ".err";
    std::string error;
    ASSERT_TRUE(simulator.Start(argv, child, error)) << error;
    std::optional<std::string> line = simulator.ReadLine(seconds(10));
    ASSERT_TRUE(line && line->starts_with(kListening))
        << ReadFile(child.stderr_file);
  }

  // A config with one instance on COM1 and the simulator's usual points,
  // then the instances given.
  void WriteConfig(const std::string &host_fields,
                   const std::string &instances = "") {
    std::ofstream(dir_ + "/site.toml") << "[host]\nport_dir = \".\"\n"
                                       << host_fields << R"(
[[instance]]
ulo = 1
port = "COM1"
restart_message = "RESTART 100"
gate = [{address = "$T1", type = "float"},
        {address = "$SP1", type = "float"},
        {address = "@DO1", type = "digital"}]
)" << instances;
  }

  void StartHost(std::vector<std::string> extra = {},
                 std::vector<std::string> env = {}) {
    StartProgram(host_, extra, std::move(env));
  }

  // ulohost --json with the options, on the site's config.
  void StartProgram(Child &host, std::vector<std::string> extra,
                    std::vector<std::string> env = {}) {
    std::vector<std::string> argv = {ULOHOST_BINARY, "--json"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    argv.push_back(dir_ + "/site.toml");
    Child::Options child;
    child.env = std::move(env);
    child.stderr_file = dir_ + "/ulohost.err";
    std::string error;
    ASSERT_TRUE(host.Start(argv, child, error)) << error;
  }

  // A controller reporting five times a second, COM read rarely, the host
  // running with its defaults.
  void StartQuietSite() {
    StartSimulator({"--rate", "5"});
    WriteConfig("com_interval = 60\n");
    StartHost();
    ASSERT_TRUE(
        WaitForEvent({{"event", "state"}, {"state", "running"}}, seconds(20)))
        << HostErrors();
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

  // A notice holding part, read already or still to come.
  bool NoticeSeenOrComes(const std::string &part,
                         std::chrono::seconds timeout) {
    auto match = [&](const json &event) {
      return event["event"] == "notice" &&
             event["text"].get<std::string>().find(part) != std::string::npos;
    };
    return std::any_of(events_.begin(), events_.end(), match) ||
           WaitFor(match, timeout).has_value();
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
  Child second_;  // on COM2
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
  std::optional<json> gate =
      WaitForEvent({{"event", "gate"}, {"gate", "$T1"}}, seconds(20));
  ASSERT_TRUE(gate);
  EXPECT_EQ((*gate)["type"], "float");
  EXPECT_EQ((*gate)["quality"], "good");
  // --trace shows the traffic.
  EXPECT_TRUE(WaitForEvent({{"event", "log"},
                            {"class", 8},
                            {"text", "ULOPR1: $T1 received from ULO 1"}},
                           seconds(20)));

  ASSERT_TRUE(host_.WriteLine(
      R"({"cmd":"write","ulo":1,"gate":"$SP1","value":23.5,"id":"w1"})"));
  std::optional<json> write =
      WaitForEvent({{"event", "write"}, {"gate", "$SP1"}}, seconds(30));
  ASSERT_TRUE(write);
  EXPECT_EQ((*write)["result"], 0);
  EXPECT_EQ((*write)["id"], "w1");
  EXPECT_TRUE(SeenOrComes(
      {{"event", "gate"}, {"gate", "$SP1"}, {"value", 23.5}}, seconds(20)));

  ASSERT_TRUE(host_.WriteLine("write @DO1 1"));
  write = WaitForEvent({{"event", "write"}, {"gate", "@DO1"}}, seconds(30));
  ASSERT_TRUE(write);
  EXPECT_EQ((*write)["result"], 0);
  EXPECT_TRUE(SeenOrComes({{"event", "gate"}, {"gate", "@DO1"}, {"value", 1}},
                          seconds(20)));
  EXPECT_EQ((*write)["value"].dump(), "1");  // digital: a JSON integer

  // Every gate's value at once, for a script that came late.
  ASSERT_TRUE(host_.WriteLine(R"({"cmd":"values","id":4})"));
  std::optional<json> values =
      WaitForEvent({{"event", "values"}, {"id", 4}}, seconds(10));
  ASSERT_TRUE(values);
  ASSERT_EQ((*values)["gates"].size(), 3u);
  EXPECT_EQ((*values)["gates"][2]["gate"], "@DO1");
  EXPECT_EQ((*values)["gates"][2]["quality"], "good");
  EXPECT_TRUE((*values)["gates"][2]["value"].is_number_integer());

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

  ASSERT_TRUE(host_.WriteLine(R"({"cmd":"bogus","id":"b"})"));
  EXPECT_TRUE(WaitForEvent(
      {{"event", "notice"}, {"level", "error"}, {"id", "b"}}, seconds(10)));

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
  ASSERT_NO_FATAL_FAILURE(StartQuietSite());
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
  // Logged before the read's result; its repeats are counted, not repeated.
  EXPECT_TRUE(SeenOrComes(
      {{"event", "log"}, {"text", "ULOPR1: Comms fail! Ulo 1"}, {"ulo", 1}},
      seconds(10)));

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

// How often the log file has a line with this text.
int CountInFile(const std::string &path, const std::string &text) {
  std::string log = ReadFile(path);
  int count = 0;
  for (std::size_t at = 0; (at = log.find(text, at)) != std::string::npos;
       at += text.size()) {
    ++count;
  }
  return count;
}

// Waits (up to a minute: the log is written by a thread of its own) until
// the file has at least count lines with this text.
bool FileComesToHold(const std::string &path, const std::string &text,
                     int count = 1) {
  Steady::time_point deadline = Steady::now() + seconds(60);
  while (CountInFile(path, text) < count) {
    if (Steady::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return true;
}

// Nobody reads the host's stdout: the pipe fills within a few hundred
// reports, yet the receiver goes on delivering (the log file, another
// output, shows it) and a signal still ends the host.
TEST_F(SiteTest, AStdoutNobodyReadsHoldsUpNeitherDeliveryNorTheEnd) {
  StartSimulator({"--rate", "200"});
  WriteConfig("com_interval = 60\n");
  StartHost({"--trace", "--log", dir_ + "/host.log"});
  const std::string received = " received from ULO 1";
  // Three times what the pipe holds as JSON lines (a report makes a gate
  // and a log event of over 100 bytes each, a pipe holds 64 KiB).
  constexpr int kReports = 900;
  ASSERT_TRUE(FileComesToHold(dir_ + "/host.log", received, kReports))
      << HostErrors();

  host_.Signal(SIGTERM);
  EXPECT_EQ(host_.Wait(seconds(30)), 0);
  EXPECT_NE(ReadFile(dir_ + "/host.log").find("host stopped"),
            std::string::npos);
}

// A config run logs to host.log in its working directory unless told
// otherwise; SIGHUP, after logrotate has moved the file, opens it again.
TEST_F(SiteTest, TheDefaultLogIsOpenedAgainOnSighup) {
  ASSERT_NO_FATAL_FAILURE(StartQuietSite());
  const std::string log = dir_ + "/host.log";
  EXPECT_TRUE(FileComesToHold(log, "ulo 1 start COM1: done (startup)"))
      << ReadFile(log);
  fs::rename(log, log + ".1");
  host_.Signal(SIGHUP);
  EXPECT_TRUE(WaitForEvent(
      {{"event", "notice"}, {"text", "SIGHUP: the log file was opened again"}},
      seconds(10)));
  ASSERT_TRUE(host_.WriteLine("quit"));
  EXPECT_EQ(host_.Wait(seconds(30)), 0);
  std::string reopened = ReadFile(log);
  EXPECT_NE(reopened.find("log file was opened again"), std::string::npos);
  EXPECT_NE(reopened.find("host stopped"), std::string::npos);
  EXPECT_EQ(ReadFile(log + ".1").find("host stopped"), std::string::npos);
}

TEST_F(SiteTest, ALineThatVanishesAndReturnsIsReconnected) {
  StartSimulator({"--rate", "5", "--vanish-after", "4", "--return-after", "5"});
  WriteConfig("com_interval = 1\nreconnect_after = 2\nreopen_interval = 1\n");
  StartHost();
  ASSERT_TRUE(WaitForEvent({{"event", "gate"}}, seconds(20))) << HostErrors();
  std::optional<json> failed = WaitForEvent(
      {{"event", "read"}, {"gate", "COM"}, {"result", 2}}, seconds(30));
  ASSERT_TRUE(failed);
  // The gates stop being good at once, and are good again at the first
  // working COM read on the new line.
  EXPECT_TRUE(SeenOrComes({{"event", "quality"},
                           {"quality", "stale"},
                           {"reason", "COM read failed"}},
                          seconds(5)))
      << EventsSeen();
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
  EXPECT_TRUE(SeenOrComes(
      {{"event", "quality"}, {"quality", "good"}, {"reason", "COM read ok"}},
      seconds(5)))
      << EventsSeen();
}

// Every mistake once, on stderr, the driver's refusal of a gate among them;
// nothing on stdout.
TEST_F(SiteTest, ABadConfigStartsNothing) {
  std::ofstream(dir_ + "/site.toml")
      << "[[instance]]\nulo = 1\nport = \"COM1\"\nbaud = 115200\n"
         "gate = [{address = \"T1\", type = \"float\"}]\n";
  StartHost();
  EXPECT_EQ(host_.Wait(seconds(20)), 2);
  EXPECT_FALSE(host_.ReadLine(seconds(1)));
  std::string errors = HostErrors();
  for (std::string message :
       {"site.toml:4:8: instance[1].baud: must be",
        "site.toml:5:20: instance[1].gate[1].address: the driver refuses "
        "gate 'T1'"}) {
    std::size_t at = errors.find(message);
    EXPECT_NE(at, std::string::npos) << message << "\nin:\n" << errors;
    EXPECT_EQ(at, errors.rfind(message)) << errors;
  }
}

// --check reports every mistake and opens no port: the held port and the
// missing one are no reason to fail it.
TEST_F(SiteTest, CheckReportsEveryMistakeAndExitsZeroOrTwo) {
  struct Case {
    std::string instances;  // after the one on COM1
    std::vector<std::string> options;
    int exit_code;
    std::vector<std::string> messages;
  };
  const Case cases[] = {
      {"[[instance]]\nulo = 2\nport = \"COM2\"\n"
       "gate = [{address = \"$t2\", type = \"float\"}]\n",
       {},
       0,
       {"site.toml:13:8: warning: instance[2].port: port 'COM2' not found",
        "site.toml:14:20: warning: instance[2].gate[1].address: '$t2' is "
        "taken as '$T2'"}},
      {"[[instance]]\nulo = 2\nport = \"COM2\"\nbaud = \"9600\"\n"
       "restart_message = \"@DO1=1\"\n"
       "gate = [{address = \"T2\", type = \"float\"}]\n",
       {},
       2,
       {"site.toml:13:8: warning: instance[2].port: port 'COM2' not found",
        "site.toml:14:8: instance[2].baud: must be a whole number",
        "site.toml:15:19: instance[2].restart_message: '@DO1=1' is a write "
        "line",
        "site.toml:16:20: instance[2].gate[1].address: the driver refuses "
        "gate 'T2'"}},
      {"", {"--strict"}, 0, {}},
      {"[[instance]]\nulo = 2\nport = \"COM2\"\n",
       {"--strict"},
       2,
       {"site.toml:13:8: instance[2].port: port 'COM2' not found"}},
      {"",
       {"--driver", "/no/such/libulopr1.so"},
       2,
       {"site.toml: --driver: cannot load the driver /no/such/libulopr1.so"}},
  };
  StartSimulator({});
  int held = open((dir_ + "/COM1").c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(held, 0);
  ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
  for (const Case &c : cases) {
    WriteConfig("", c.instances);
    std::vector<std::string> options = {"--check"};
    options.insert(options.end(), c.options.begin(), c.options.end());
    Child check;
    StartProgram(check, options);
    EXPECT_EQ(check.Wait(seconds(20)), c.exit_code) << c.instances;
    // A config that passes is summed up on stdout, its warnings counted.
    std::optional<std::string> summary = check.ReadLine(seconds(1));
    EXPECT_EQ(summary.has_value(), c.exit_code == 0);
    if (summary) {
      EXPECT_NE(summary->find("no errors, " +
                              std::to_string(c.messages.size()) + " warning"),
                std::string::npos)
          << *summary;
    }
    std::string errors = HostErrors();
    std::size_t lines = std::count(errors.begin(), errors.end(), '\n');
    EXPECT_EQ(lines, c.messages.size()) << errors;
    for (const std::string &message : c.messages) {
      EXPECT_NE(errors.find("ulohost: " + dir_ + "/" + message),
                std::string::npos)
          << message << "\nin:\n"
          << errors;
    }
  }
  EXPECT_FALSE(fs::exists(dir_ + "/uloPR101.int"));
  close(held);
}

// One instance runs while the other's port is missing; it starts once its
// port appears.
TEST_F(SiteTest, AnInstanceStartsOnceItsMissingPortAppears) {
  StartSimulator({"--rate", "5"});
  WriteConfig("reopen_interval = 1\n",
              "[[instance]]\nulo = 2\nport = \"COM2\"\n"
              "gate = [{address = \"$T1\", type = \"float\"}]\n");
  StartHost();
  ASSERT_TRUE(
      WaitForEvent({{"event", "state"}, {"state", "running"}}, seconds(20)))
      << HostErrors();
  EXPECT_TRUE(Seen(
      {{"event", "port"}, {"ulo", 2}, {"action", "start"}, {"result", 2}}));
  EXPECT_TRUE(NoticeSeenOrComes("ulo 2: port 'COM2' not found", seconds(10)));
  EXPECT_TRUE(WaitForEvent({{"event", "gate"}, {"ulo", 1}}, seconds(20)));
  EXPECT_NE(HostErrors().find("warning: instance[2].port: port 'COM2' not "
                              "found"),
            std::string::npos)
      << HostErrors();

  StartSimulator({"--rate", "5"}, "COM2");
  EXPECT_TRUE(WaitForEvent({{"event", "port"},
                            {"ulo", 2},
                            {"action", "start"},
                            {"reason", "reconnect"},
                            {"result", 0}},
                           seconds(20)))
      << EventsSeen();
  // Command 1 sent the restart message: the controller answers.
  EXPECT_TRUE(WaitForEvent({{"event", "gate"}, {"ulo", 2}}, seconds(20)));
  ASSERT_TRUE(host_.WriteLine("quit"));
  EXPECT_EQ(host_.Wait(seconds(30)), 0);
}

// A port another program holds is reported; once let go, reopen starts the
// instance (the timer would too, after its hour).
TEST_F(SiteTest, APortHeldElsewhereStartsOnceReleased) {
  StartSimulator({"--rate", "5"});
  int held = open((dir_ + "/COM1").c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(held, 0);
  ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
  WriteConfig("reopen_interval = 3600\n");
  StartHost();
  ASSERT_TRUE(
      WaitForEvent({{"event", "state"}, {"state", "running"}}, seconds(20)))
      << HostErrors();
  EXPECT_TRUE(NoticeSeenOrComes(
      "ulo 1: cannot open port 'COM1' (held by another program", seconds(10)));
  close(held);
  ASSERT_TRUE(host_.WriteLine("reopen"));
  EXPECT_TRUE(WaitForEvent({{"event", "port"},
                            {"action", "start"},
                            {"reason", "command"},
                            {"result", 0}},
                           seconds(20)))
      << EventsSeen();
  EXPECT_TRUE(WaitForEvent({{"event", "gate"}, {"ulo", 1}}, seconds(20)))
      << EventsSeen();
  ASSERT_TRUE(host_.WriteLine("quit"));
  EXPECT_EQ(host_.Wait(seconds(30)), 0);
}

// --strict starts all or nothing: a missing port is a config error, a held
// one a failure.
TEST_F(SiteTest, StrictRefusesAMissingOrHeldPort) {
  fs::create_symlink("/dev/pts/no-such-terminal", dir_ + "/COM1");
  WriteConfig("");
  StartHost({"--strict"});
  EXPECT_EQ(host_.Wait(seconds(20)), 2);
  EXPECT_FALSE(host_.ReadLine(seconds(1)));
  EXPECT_NE(HostErrors().find("site.toml:6:8: instance[1].port: port 'COM1' "
                              "not found"),
            std::string::npos)
      << HostErrors();

  fs::remove(dir_ + "/COM1");
  StartSimulator({});
  int held = open((dir_ + "/COM1").c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(held, 0);
  ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
  Child strict;
  StartProgram(strict, {"--strict"});
  EXPECT_EQ(strict.Wait(seconds(20)), 1);
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

// A site publishing to its own mosquitto broker on a unix socket, watched
// by mosquitto_sub; $SP1 is writable.
class MqttSiteTest : public SiteTest {
 protected:
  void StartBroker() {
    socket_ = dir_ + "/mqtt.sock";
    fs::remove(socket_);  // a broker stopped before leaves its socket
    std::ofstream conf(dir_ + "/mosquitto.conf");
    conf << "listener 0 " << socket_ << "\nallow_anonymous true\n"
         << "persistence false\n";
    // As root the broker would switch to a user that cannot use dir_.
    if (getuid() == 0) conf << "user root\n";
    conf.close();
    Child::Options child;
    child.stderr_file = dir_ + "/mosquitto.err";
    std::string error;
    ASSERT_TRUE(broker_.Start(
        {"/usr/sbin/mosquitto", "-c", dir_ + "/mosquitto.conf"}, child, error))
        << error;
    Steady::time_point deadline = Steady::now() + seconds(10);
    while (!fs::exists(socket_) && Steady::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_TRUE(fs::exists(socket_)) << ReadFile(child.stderr_file);
  }

  // The host's config with the gateway on the broker, the site "test".
  void WriteMqttConfig() {
    WriteConfig("com_interval = 2\n",
                "[mqtt]\nurl = \"unix:" + socket_ + "\"\nsite = \"test\"\n");
    std::string text = ReadFile(dir_ + "/site.toml");
    std::string sp1 = "{address = \"$SP1\", type = \"float\"";
    text.replace(text.find(sp1), sp1.size(), sp1 + ", writable = true");
    std::ofstream(dir_ + "/site.toml") << text;
  }

  // A controller, the host running against it and a subscriber that has
  // seen the bridge online.
  void StartMqttSite() {
    ASSERT_NO_FATAL_FAILURE(StartBroker());
    ASSERT_NO_FATAL_FAILURE(StartSimulator({"--rate", "5"}));
    WriteMqttConfig();
    ASSERT_NO_FATAL_FAILURE(StartHost());
    ASSERT_TRUE(
        WaitForEvent({{"event", "state"}, {"state", "running"}}, seconds(20)))
        << HostErrors();
    ASSERT_NO_FATAL_FAILURE(Subscribe());
    ASSERT_TRUE(Comes("bridge/state", "online")) << messages_ << HostErrors();
  }

  void Publish(const std::string &topic, const std::string &payload) {
    Child publisher;
    std::string error;
    ASSERT_TRUE(publisher.Start({"/usr/bin/mosquitto_pub", "--unix", socket_,
                                 "-t", "ulopr1/test/" + topic, "-m", payload},
                                {}, error))
        << error;
    EXPECT_EQ(publisher.Wait(seconds(10)), 0);
  }

  void Subscribe() {
    Child::Options child;
    child.stderr_file = dir_ + "/mosquitto_sub.err";
    std::string error;
    ASSERT_TRUE(subscriber_.Start({"/usr/bin/mosquitto_sub", "--unix", socket_,
                                   "-v", "-t", "ulopr1/test/#"},
                                  child, error))
        << error;
  }

  // Reads messages until one on topic (under ulopr1/test/) has a payload
  // that matches; every message read is kept.
  std::optional<std::string> WaitForMessage(
      const std::string &topic,
      const std::function<bool(const std::string &)> &match,
      std::chrono::seconds timeout) {
    std::string prefix = "ulopr1/test/" + topic + " ";
    Steady::time_point deadline = Steady::now() + timeout;
    while (Steady::now() < deadline) {
      std::optional<std::string> line = subscriber_.ReadLine(
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                Steady::now()));
      if (!line) break;
      messages_ += *line + '\n';
      if (line->starts_with(prefix) && match(line->substr(prefix.size()))) {
        return line->substr(prefix.size());
      }
    }
    return std::nullopt;
  }

  bool Comes(const std::string &topic, const std::string &payload) {
    return WaitForMessage(
               topic, [&](const std::string &p) { return p == payload; },
               seconds(20))
        .has_value();
  }

  std::string socket_;
  Child broker_;
  Child subscriber_;
  std::string messages_;  // "topic payload" lines read so far
};

TEST_F(MqttSiteTest, PublishesTheBridgeInstancesAndValuesThenSaysOffline) {
  ASSERT_NO_FATAL_FAILURE(StartMqttSite());
  std::optional<std::string> info = WaitForMessage(
      "bridge/info", [](const std::string &) { return true; }, seconds(20));
  ASSERT_TRUE(info) << messages_;
  json bridge = json::parse(*info);
  EXPECT_EQ(bridge["version"], ULOHOST_VERSION);
  EXPECT_FALSE(bridge["driver"].get<std::string>().empty());
  ASSERT_EQ(bridge["instances"].size(), 1u) << *info;
  EXPECT_EQ(bridge["instances"][0]["port"], "COM1");
  EXPECT_EQ(bridge["instances"][0]["gates"][0]["topic"], "ulopr1/test/1/$T1");

  // The simulator's values arrive as JSON, digital ones whole.
  auto good = [](const std::string &type) {
    return [type](const std::string &payload) {
      json value = json::parse(payload, nullptr, false);
      return !value.is_discarded() && value["quality"] == "good" &&
             value["type"] == type && value["time"].is_string();
    };
  };
  std::optional<std::string> t1 =
      WaitForMessage("1/$T1", good("float"), seconds(20));
  ASSERT_TRUE(t1) << messages_;
  EXPECT_TRUE(json::parse(*t1)["value"].is_number()) << *t1;
  std::optional<std::string> do1 =
      WaitForMessage("1/@DO1", good("digital"), seconds(20));
  ASSERT_TRUE(do1) << messages_;
  EXPECT_TRUE(json::parse(*do1)["value"].is_number_integer()) << *do1;
  EXPECT_TRUE(messages_.find("ulopr1/test/1/availability online") !=
                  std::string::npos ||
              Comes("1/availability", "online"))
      << messages_;

  EXPECT_EQ(host_.Stop(seconds(15)), 0) << HostErrors();
  EXPECT_TRUE(Comes("1/availability", "offline")) << messages_;
  EXPECT_TRUE(Comes("bridge/state", "offline")) << messages_;
}

TEST_F(MqttSiteTest, TheBrokerTellsTheLastWillWhenTheHostIsKilled) {
  StartBroker();
  WriteMqttConfig();  // no controller: the bridge runs all the same
  StartHost();
  Subscribe();
  ASSERT_TRUE(Comes("bridge/state", "online")) << messages_ << HostErrors();
  host_.Signal(SIGKILL);
  EXPECT_TRUE(Comes("bridge/state", "offline")) << messages_;
}

// Nothing new comes while the broker is away, so what reaches the new one
// is the value the host kept.
TEST_F(MqttSiteTest, TheLatestValuesArePublishedAgainOnReconnecting) {
  StartBroker();
  StartSimulator({"--rate", "5"});
  WriteMqttConfig();
  StartHost();
  Subscribe();
  ASSERT_TRUE(WaitForMessage(
      "1/$T1", [](const std::string &) { return true; }, seconds(20)))
      << messages_ << HostErrors();
  simulator_.Stop(seconds(5));
  subscriber_.Stop(seconds(5));
  broker_.Stop(seconds(5));
  ASSERT_TRUE(NoticeSeenOrComes("MQTT: the connection to", seconds(20)))
      << EventsSeen();
  StartBroker();  // without the old one's retained messages
  Subscribe();
  EXPECT_TRUE(Comes("bridge/state", "online")) << messages_ << HostErrors();
  std::optional<std::string> kept = WaitForMessage(
      "1/$T1", [](const std::string &) { return true; }, seconds(30));
  ASSERT_TRUE(kept) << messages_;
  EXPECT_TRUE(json::parse(*kept)["value"].is_number()) << *kept;
}

TEST_F(MqttSiteTest, AWritableGateTakesWritesFromItsSetTopic) {
  ASSERT_NO_FATAL_FAILURE(StartMqttSite());
  auto any = [](const std::string &) { return true; };

  Publish("1/$SP1/set", R"({"value":22.5,"id":"a1"})");
  std::optional<std::string> done =
      WaitForMessage("1/$SP1/set/result", any, seconds(20));
  ASSERT_TRUE(done) << messages_ << HostErrors();
  json result = json::parse(*done);
  EXPECT_EQ(result["ok"], true) << *done;
  EXPECT_EQ(result["result"], 0) << *done;
  EXPECT_EQ(result["id"], "a1") << *done;
  EXPECT_TRUE(result["seconds"].is_number()) << *done;

  // Refused with a reason, and nothing written.
  struct Bad {
    std::string topic;
    std::string payload;
    std::string says;
  };
  for (const Bad &bad : std::vector<Bad>{
           {"1/$SP1", "warm", "must be a number"},
           {"1/$SP1", R"({"value":"22","id":7})", "must be a number"},
           {"1/$SP1", R"({"value":)", "must be a number"},
           {"1/$SP1", "1e39", "beyond what a float gate holds"},
           {"1/$SP1", std::string(300, '1'), "longer than 256 bytes"},
           {"1/$T1", "20", "$T1 is not writable"},
           {"1/@DO1", "1", "@DO1 is not writable"},
           {"1/$NOPE", "20", "no gate of the config"},
       }) {
    Publish(bad.topic + "/set", bad.payload);
    std::optional<std::string> refused =
        WaitForMessage(bad.topic + "/set/result", any, seconds(20));
    ASSERT_TRUE(refused) << bad.payload << "\n" << messages_;
    json answer = json::parse(*refused);
    EXPECT_EQ(answer["ok"], false) << *refused;
    EXPECT_NE(answer["error"].get<std::string>().find(bad.says),
              std::string::npos)
        << bad.payload << ": " << *refused;
  }
  Publish("1/$SP1/set", "23.5");
  ASSERT_TRUE(WaitForEvent({{"event", "write"}, {"value", 23.5}}, seconds(20)))
      << EventsSeen();
  EXPECT_EQ(std::count_if(events_.begin(), events_.end(),
                          [](const json &e) { return e["event"] == "write"; }),
            2)
      << EventsSeen();
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

// The demo at a terminal of 14 rows: keys scroll and filter the table,
// commands typed at the prompt run, and the terminal's modes come back.
TEST(DemoTest, TheLiveViewTakesKeysAtATerminal) {
  ulo::tools::Pty pty;
  std::string error;
  ASSERT_TRUE(ulo::tools::OpenPty(pty, error)) << error;
  termios cooked{};
  ASSERT_EQ(tcgetattr(pty.keeper, &cooked), 0);
  cooked.c_lflag |= ICANON | ECHO | ISIG;
  ASSERT_EQ(tcsetattr(pty.keeper, TCSANOW, &cooked), 0);
  winsize size{};
  size.ws_row = 14;
  size.ws_col = 80;
  ASSERT_EQ(ioctl(pty.keeper, TIOCSWINSZ, &size), 0);
  const char *terminal = pty.path.c_str();
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    setsid();
    int tty = open(terminal, O_RDWR);  // becomes the controlling terminal
    int null = open("/dev/null", O_WRONLY);
    dup2(tty, 0);
    dup2(tty, 1);
    dup2(null, 2);
    execl(ULOHOST_BINARY, ULOHOST_BINARY, "demo", "--duration", "60",
          static_cast<char *>(nullptr));
    _exit(127);
  }
  std::string screen;
  std::size_t from = 0;
  // Reads what the terminal is sent until text appears after from.
  auto shows = [&](const std::string &text) {
    pollfd ready{pty.master, POLLIN, 0};
    char chunk[4096];
    while (screen.find(text, from) == std::string::npos &&
           poll(&ready, 1, 20000) > 0) {
      ssize_t n = read(pty.master, chunk, sizeof chunk);
      if (n <= 0) break;
      screen.append(chunk, static_cast<std::size_t>(n));
    }
    std::size_t at = screen.find(text, from);
    if (at != std::string::npos) from = at + text.size();
    return at != std::string::npos;
  };
  // Seven data gates and the instance's line; seven rows for them.
  const std::pair<const char *, const char *> kSteps[] = {
      {"", "lines 1-7 of 8"},     {"\x1b[6~", "lines 2-8 of 8"},
      {"/do\r", "filter 'do'"},   {"values\r", "values of 7 gates:"},
      {"quit\r", "host stopped"},
  };
  for (auto [keys, expected] : kSteps) {
    std::string typed = keys;
    ASSERT_EQ(write(pty.master, typed.data(), typed.size()),
              static_cast<ssize_t>(typed.size()));
    EXPECT_TRUE(shows(expected))
        << keys << ": " << testing::PrintToString(screen.substr(from));
  }
  int status = 0;
  EXPECT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  termios after{};
  ASSERT_EQ(tcgetattr(pty.keeper, &after), 0);
  EXPECT_TRUE(after.c_lflag & ICANON);
  EXPECT_TRUE(after.c_lflag & ECHO);
  ulo::tools::ClosePty(pty);
}

}  // namespace
}  // namespace ulohost
