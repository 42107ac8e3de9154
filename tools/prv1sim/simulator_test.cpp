// The simulator over real pseudo-terminals: this side plays the driver.
#include "simulator.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>

#include "frame.h"

namespace prv1sim {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// The driver's end of the line.
class Peer {
 public:
  explicit Peer(const std::string &path)
      : fd_(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) {}
  ~Peer() {
    if (fd_ >= 0) close(fd_);
  }
  bool ok() const { return fd_ >= 0; }

  void Send(const std::string &text) {
    ASSERT_EQ(write(fd_, text.data(), text.size()),
              static_cast<ssize_t>(text.size()));
  }

  // Reads until done(bytes) holds or the time is up; also stops when the
  // line hangs up (hung_up() then tells).
  template <typename Done>
  std::string ReadUntil(Done done, std::chrono::milliseconds limit) {
    Clock::time_point end = Clock::now() + limit;
    while (!done(received_) && !hung_up_ && Clock::now() < end) {
      pollfd watch{fd_, POLLIN, 0};
      poll(&watch, 1, 20);
      char buffer[256];
      ssize_t got = read(fd_, buffer, sizeof buffer);
      if (got > 0) {
        if (first_byte_ == Clock::time_point{}) first_byte_ = Clock::now();
        received_.append(buffer, static_cast<std::size_t>(got));
      } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
        hung_up_ = true;
      }
    }
    return received_;
  }

  std::string ReadFor(std::chrono::milliseconds limit) {
    return ReadUntil([](const std::string &) { return false; }, limit);
  }

  std::string Take() { return std::exchange(received_, {}); }
  bool hung_up() const { return hung_up_; }
  Clock::time_point first_byte() const { return first_byte_; }

 private:
  int fd_;
  std::string received_;
  bool hung_up_ = false;
  Clock::time_point first_byte_{};
};

auto Contains(std::size_t count, char c) {
  return [count, c](const std::string &bytes) {
    return static_cast<std::size_t>(
               std::count(bytes.begin(), bytes.end(), c)) >= count;
  };
}

// The simulator run on a thread of its own.
class Running {
 public:
  explicit Running(Options options, std::vector<Point> points = BuiltinPoints())
      : simulator_(std::move(options), std::move(points),
                   [this](const std::string &line) {
                     std::lock_guard lock(mutex_);
                     announced_.push_back(line);
                   }) {
    std::string error;
    opened_ = simulator_.Open(error);
    EXPECT_TRUE(opened_) << error;
    if (opened_) {
      thread_ = std::thread([this] { ran_ = simulator_.Run(stop_, error_); });
    }
  }
  ~Running() { Stop(); }

  const Stats &Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    EXPECT_TRUE(ran_) << error_;
    return simulator_.stats();
  }
  std::string path() const { return simulator_.path(); }

  // Waits until count lines have been announced; returns them.
  std::vector<std::string> Announced(std::size_t count) {
    Clock::time_point end = Clock::now() + 5s;
    while (Clock::now() < end) {
      {
        std::lock_guard lock(mutex_);
        if (announced_.size() >= count) return announced_;
      }
      std::this_thread::sleep_for(10ms);
    }
    std::lock_guard lock(mutex_);
    return announced_;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> announced_;
  Simulator simulator_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  bool opened_ = false;
  bool ran_ = true;
  std::string error_;
};

Options Quiet() {
  Options options;
  options.rate = 0;
  options.line.baud = 115200;
  return options;
}

std::string Frame(const std::string &text) { return BuildFrame("01", text); }

TEST(SimulatorLine, RestartMessageBringsEveryPointAsAFrame) {
  Running sim(Quiet());
  Peer peer(sim.path());
  ASSERT_TRUE(peer.ok());
  peer.Send("RESTART 100\r");
  std::vector<Point> points = BuiltinPoints();
  std::string expected;
  for (const Point &point : points) expected += Frame(ReportText(point));
  EXPECT_EQ(peer.ReadUntil(Contains(points.size(), kEtx), 5000ms), expected);
  const Stats &stats = sim.Stop();
  EXPECT_EQ(stats.restart_messages, 1u);
  EXPECT_EQ(stats.restart_frames, points.size());
  EXPECT_EQ(stats.bytes_out, expected.size());
  EXPECT_EQ(stats.addresses.at("$T1").reports, 1u);
}

TEST(SimulatorLine, WritesAreEchoedExactlyAppliedAndReported) {
  Running sim(Quiet());
  Peer peer(sim.path());
  peer.Send("$SP1=23.500000\r");
  EXPECT_EQ(peer.ReadUntil(Contains(1, kEtx), 5000ms),
            "$SP1=23.500000\r" + Frame("$SP1=23.5"));
  peer.Take();
  peer.Send("@DO3=1\r");
  EXPECT_EQ(peer.ReadUntil(Contains(1, kEtx), 5000ms),
            "@DO3=1\r" + Frame("@DO3=1"));
  peer.Take();
  // The same value again changes nothing, so only the echo comes back.
  peer.Send("@DO3=1\r");
  peer.ReadUntil(Contains(1, kCr), 5000ms);
  EXPECT_EQ(peer.ReadFor(300ms), "@DO3=1\r");
  const Stats &stats = sim.Stop();
  EXPECT_EQ(stats.writes_received, 3u);
  EXPECT_EQ(stats.writes_echoed, 3u);
  EXPECT_EQ(stats.writes_applied, 3u);
  EXPECT_EQ(stats.write_frames, 2u);
}

TEST(SimulatorLine, FramesWaitWhileALineArrivesSoTheEchoComesFirst) {
  Options options;
  options.line.baud = 115200;
  options.rate = 100;
  Running sim(options);
  Peer peer(sim.path());
  const std::string line = "$SP1=21.500000\r";
  peer.Send(line.substr(0, 1));
  peer.ReadFor(300ms);  // a frame already under way may finish
  peer.Take();
  // Ten report periods after each character, well short of the stall that
  // ends the hold.
  for (std::size_t i = 1; i + 1 < line.size(); ++i) {
    peer.Send(line.substr(i, 1));
    EXPECT_EQ(peer.ReadFor(100ms), "") << "after character " << i;
  }
  peer.Send("\r");
  EXPECT_EQ(peer.ReadUntil(Contains(1, kCr), 5000ms).substr(0, line.size()),
            line);
  // Once the line is done, reports flow again.
  EXPECT_TRUE(Contains(3, kEtx)(peer.ReadUntil(Contains(3, kEtx), 5000ms)));
}

TEST(SimulatorLine, WritesGoUnreportedWhenAskedAndUnknownPointsAreEchoed) {
  Options options = Quiet();
  options.report_writes = false;
  Running sim(options);
  Peer peer(sim.path());
  peer.Send("$SP2=25.000000\r$NOPE=1.000000\r");
  peer.ReadUntil(Contains(2, kCr), 5000ms);
  EXPECT_EQ(peer.ReadFor(400ms), "$SP2=25.000000\r$NOPE=1.000000\r");
  peer.Take();
  peer.Send("X\r");
  EXPECT_NE(peer.ReadUntil(Contains(11, kEtx), 5000ms).find(Frame("$SP2=25")),
            std::string::npos);
  const Stats &stats = sim.Stop();
  EXPECT_EQ(stats.writes_unknown_point, 1u);
  EXPECT_EQ(stats.write_frames, 0u);
}

TEST(SimulatorLine, OnlyTheConfiguredTextRestartsWhenOneIsSet) {
  Options options = Quiet();
  options.restart_message = "HELLO 7";
  Running sim(options);
  Peer peer(sim.path());
  peer.Send("RESTART 100\r");
  EXPECT_EQ(peer.ReadFor(300ms), "");
  peer.Send("HELLO 7\r");
  std::string frames = peer.ReadUntil(Contains(11, kEtx), 5000ms);
  const Stats &stats = sim.Stop();
  EXPECT_EQ(std::count(frames.begin(), frames.end(), kEtx), 11);
  EXPECT_EQ(stats.other_lines, 1u);
  EXPECT_EQ(stats.restart_messages, 1u);
}

TEST(SimulatorLine, GarbledEchoesFailOnlyTheFirstAttempts) {
  Options options = Quiet();
  options.echo = EchoMode::kGarble;
  options.echo_fail_count = 2;
  Running sim(options);
  Peer peer(sim.path());
  const std::string line = "$SP3=18.250000\r";
  for (int attempt = 0; attempt < 2; ++attempt) {
    peer.Send(line);
    std::string echo = peer.ReadUntil(Contains(1, kCr), 5000ms);
    EXPECT_EQ(echo.size(), line.size());
    EXPECT_EQ(echo[0], '$');
    EXPECT_EQ(echo.back(), kCr);
    EXPECT_NE(echo, line);
    // A garbled line was not taken: nothing changed, nothing reported.
    EXPECT_EQ(peer.ReadFor(200ms), echo);
    peer.Take();
  }
  peer.Send(line);
  EXPECT_EQ(peer.ReadUntil(Contains(1, kEtx), 5000ms),
            line + Frame("$SP3=18.25"));
  const Stats &stats = sim.Stop();
  EXPECT_EQ(stats.echoes_garbled, 2u);
  EXPECT_EQ(stats.writes_echoed, 1u);
}

TEST(SimulatorLine, MissingEchoesAndASilentController) {
  Options options = Quiet();
  options.echo = EchoMode::kNone;
  Running no_echo(options);
  Peer peer(no_echo.path());
  peer.Send("$SP1=22.000000\r");
  EXPECT_EQ(peer.ReadFor(400ms), "");
  EXPECT_EQ(no_echo.Stop().echoes_withheld, 1u);

  options = Quiet();
  options.silent = true;
  options.rate = 50;
  Running silent(options);
  Peer silent_peer(silent.path());
  silent_peer.Send("RESTART 100\r$SP1=22.000000\r");
  EXPECT_EQ(silent_peer.ReadFor(400ms), "");
  const Stats &stats = silent.Stop();
  EXPECT_EQ(stats.restart_messages, 1u);
  EXPECT_EQ(stats.writes_received, 1u);
  EXPECT_EQ(stats.bytes_out, 0u);
}

TEST(SimulatorLine, ErrorRepliesNoiseAndFramesWithoutEtx) {
  Options options;
  options.line.baud = 115200;
  options.rate = 50;
  options.error_every = 2;
  options.no_etx_every = 3;
  options.noise = true;
  Running sim(options);
  Peer peer(sim.path());
  std::string bytes = peer.ReadUntil(Contains(20, kStx), 5000ms);
  sim.Stop();
  // Cut at every STX; the last piece may be unfinished.
  std::vector<std::string> pieces;
  std::size_t at = bytes.find(kStx);
  std::string before_first = bytes.substr(0, at);
  while (at != std::string::npos) {
    std::size_t next = bytes.find(kStx, at + 1);
    pieces.push_back(bytes.substr(at, next - at));
    at = next;
  }
  pieces.pop_back();
  ASSERT_GE(pieces.size(), 15u);
  std::size_t reports = 0, noisy = before_first.empty() ? 0 : 1;
  bool error_due = false;
  for (const std::string &piece : pieces) {
    std::size_t cr = piece.find(kCr);
    ASSERT_NE(cr, std::string::npos) << Show(piece);
    std::string text = piece.substr(3, cr - 3);
    bool etx = cr + 1 < piece.size() && piece[cr + 1] == kEtx;
    std::string noise = piece.substr(cr + (etx ? 2 : 1));
    if (!noise.empty()) ++noisy;
    EXPECT_EQ(noise.find_first_of("\x02\x03\r$@"), std::string::npos)
        << Show(noise);
    if (error_due) {
      EXPECT_EQ(text, "ERROR 13");
      EXPECT_TRUE(etx);
      error_due = false;
      continue;
    }
    ++reports;
    EXPECT_NE(text.find('='), std::string::npos) << text;
    EXPECT_EQ(etx, reports % 3 != 0) << "report " << reports;
    error_due = reports % 2 == 0;
  }
  EXPECT_GT(noisy, 0u);
}

TEST(SimulatorLine, BytesKeepToTheBaudRate) {
  Options options = Quiet();
  options.line.baud = 2400;  // 8N1: 10 bits, 4.17 ms a character
  Running sim(options);
  Peer peer(sim.path());
  peer.Send("RESTART 100\r");
  std::string bytes = peer.ReadUntil(Contains(11, kEtx), 5000ms);
  Clock::time_point last = Clock::now();
  ASSERT_EQ(std::count(bytes.begin(), bytes.end(), kEtx), 11);
  double seconds =
      std::chrono::duration<double>(last - peer.first_byte()).count();
  double expected = static_cast<double>(bytes.size() - 1) * 10 / 2400;
  EXPECT_GE(seconds, 0.8 * expected);
}

TEST(SimulatorLine, VanishedLineHangsUpAndReturnsUnderItsLink) {
  char dir_template[] = "/tmp/prv1sim_test_XXXXXX";
  ASSERT_NE(mkdtemp(dir_template), nullptr);
  std::string link = std::string(dir_template) + "/COM5";
  Options options = Quiet();
  options.link = link;
  options.vanish_after = 0.3;
  options.return_after = 1.0;
  Running sim(options);
  {
    Peer peer(link);
    ASSERT_TRUE(peer.ok());
    peer.ReadFor(3000ms);
    EXPECT_TRUE(peer.hung_up());
  }
  std::vector<std::string> said = sim.Announced(2);
  ASSERT_EQ(said.size(), 2u);
  // The path as announced: the simulator's own copy changes on its thread.
  std::string first = said[0].substr(said[0].rfind(' ') + 1);
  EXPECT_EQ(said[0], "prv1sim: listening on " + first);
  EXPECT_EQ(first.rfind("/dev/pts/", 0), 0u);
  EXPECT_EQ(said[1], "prv1sim: vanished " + first);
  struct stat info;
  EXPECT_NE(lstat(link.c_str(), &info), 0);

  said = sim.Announced(3);
  ASSERT_EQ(said.size(), 3u);
  std::string second = said[2].substr(said[2].rfind(' ') + 1);
  EXPECT_EQ(std::filesystem::read_symlink(link).string(), second);
  Peer peer(link);
  ASSERT_TRUE(peer.ok());
  peer.Send("RESTART 100\r");
  EXPECT_TRUE(Contains(11, kEtx)(peer.ReadUntil(Contains(11, kEtx), 5000ms)));
  EXPECT_EQ(sim.Stop().vanished, 1u);
  std::filesystem::remove_all(dir_template);
}

// Runs the program; returns its exit status. Its first stdout line is
// handed to on_first_line while it runs; stderr goes to err_path.
int RunProgram(const std::string &args, const std::string &err_path,
               const std::function<void(const std::string &)> &on_first_line) {
  std::string command =
      std::string(PRV1SIM_BINARY) + " " + args + " 2>" + err_path;
  FILE *out = popen(command.c_str(), "r");
  if (out == nullptr) return -1;
  char line[256] = "";
  if (fgets(line, sizeof line, out) != nullptr) {
    std::string text(line);
    if (!text.empty() && text.back() == '\n') text.pop_back();
    on_first_line(text);
  }
  while (fgets(line, sizeof line, out) != nullptr) {
  }
  int status = pclose(out);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string ReadText(const std::string &path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// The texts of the frames in bytes that end in CR ETX, in order (a frame
// cut short by a later STX is lost).
std::vector<std::string> CompleteFrameTexts(const std::string &bytes) {
  std::vector<std::string> texts;
  for (std::size_t at = bytes.find(kStx); at != std::string::npos;
       at = bytes.find(kStx, at + 1)) {
    std::size_t end = bytes.find("\r\x03", at);
    std::size_t next = bytes.find(kStx, at + 1);
    if (end == std::string::npos || (next != std::string::npos && next < end)) {
      continue;
    }
    texts.push_back(bytes.substr(at + 3, end - at - 3));
  }
  return texts;
}

// Runs the program with args (and --duration 2) as the driver's peer that
// asks for a restart and reads until the line goes; returns the complete
// frames' texts.
std::vector<std::string> RunAndRead(const std::string &args,
                                    const std::string &err_path) {
  std::vector<std::string> texts;
  std::string prefix = "prv1sim: listening on ";
  int status = RunProgram(args + " --duration 2", err_path,
                          [&](const std::string &first) {
                            ASSERT_EQ(first.rfind(prefix, 0), 0u) << first;
                            Peer peer(first.substr(prefix.size()));
                            ASSERT_TRUE(peer.ok());
                            peer.Send("RESTART 100\r");
                            std::string bytes = peer.ReadFor(10000ms);
                            EXPECT_TRUE(peer.hung_up());
                            texts = CompleteFrameTexts(bytes);
                          });
  EXPECT_EQ(status, 0);
  return texts;
}

TEST(SimulatorProgram, StatsCountEveryDeliveredReportExactlyOnce) {
  std::string stats_path =
      "/tmp/prv1sim_test_stats_" + std::to_string(getpid()) + ".json";
  std::string err_path = stats_path + ".err";
  std::map<std::string, std::uint64_t> seen;
  for (const std::string &text :
       RunAndRead("--rate 40 --baud 38400 --noise --error-every 3 "
                  "--no-etx-every 4 --seed 9 --stats " +
                      stats_path,
                  err_path)) {
    std::size_t equals = text.find('=');
    if (equals != std::string::npos) ++seen[text.substr(0, equals)];
  }
  EXPECT_NE(ReadText(err_path).find("prv1sim: summary: frames "),
            std::string::npos);
  nlohmann::json stats = nlohmann::json::parse(ReadText(stats_path));
  EXPECT_EQ(stats["restart_messages"], 1);
  EXPECT_GT(stats["frames"]["report"].get<int>(), 10);
  EXPECT_GT(stats["frames"]["no_etx"].get<int>(), 0);
  std::uint64_t total = 0;
  for (auto &[address, counts] : stats["points"].items()) {
    EXPECT_EQ(counts["reports"].get<std::uint64_t>(), seen[address]) << address;
    total += seen[address];
  }
  EXPECT_EQ(total, stats["frames"]["total"].get<std::uint64_t>() -
                       stats["frames"]["error"].get<std::uint64_t>());
  std::remove(stats_path.c_str());
  std::remove(err_path.c_str());
}

TEST(SimulatorProgram, TimestampsListEveryCompleteReportAsItGoesOut) {
  std::string stamps_path =
      "/tmp/prv1sim_test_stamps_" + std::to_string(getpid()) + ".txt";
  std::string err_path = stamps_path + ".err";
  auto Now = [] {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               Clock::now().time_since_epoch())
        .count();
  };
  long long before = Now();
  std::vector<std::string> texts = RunAndRead(
      "--rate 40 --baud 38400 --noise --error-every 3 "
      "--no-etx-every 4 --seed 9 --timestamps " +
          stamps_path,
      err_path);
  long long after = Now();
  // Reports only: error replies are no reports.
  std::erase(texts, "ERROR 13");
  ASSERT_GT(texts.size(), 10u);
  std::ifstream stamps(stamps_path);
  std::vector<std::string> stamped;
  long long previous = before;
  long long nanos = 0;
  std::string text;
  while (stamps >> nanos >> text) {
    EXPECT_GE(nanos, previous) << text;
    previous = nanos;
    stamped.push_back(text);
  }
  EXPECT_LE(previous, after);
  EXPECT_EQ(stamped, texts);
  std::remove(stamps_path.c_str());
  std::remove(err_path.c_str());
}

TEST(SimulatorProgram, BadPointsFileNamesFileLineAndField) {
  std::string points_path =
      "/tmp/prv1sim_test_points_" + std::to_string(getpid()) + ".toml";
  std::ofstream(points_path) << "[[point]]\naddress = \"$T1\"\n"
                                "kind = \"analog\"\nvalue = 1\nstep = -1\n";
  std::string err_path = points_path + ".err";
  std::string first;
  int status = RunProgram("--points " + points_path, err_path,
                          [&](const std::string &line) { first = line; });
  EXPECT_NE(status, 0);
  EXPECT_EQ(first, "");
  EXPECT_NE(
      ReadText(err_path).find(points_path + ":5:8: point 1, field \"step\""),
      std::string::npos)
      << ReadText(err_path);
  std::remove(points_path.c_str());
  std::remove(err_path.c_str());
}

}  // namespace
}  // namespace prv1sim
