#include "host_log.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "output.h"
#include "ulopr1/ulo.h"

namespace ulohost {
namespace {

namespace fs = std::filesystem;

Clock::time_point At(long long millis) {
  return Clock::time_point(std::chrono::milliseconds(millis));
}

std::string ReadFile(const std::string &path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

class Recorder : public EventSink {
 public:
  void Emit(const Event &event) override { events.push_back(event); }
  std::vector<std::string> Lines() const {
    std::vector<std::string> lines;
    for (const Event &event : events) lines.push_back(EventLine(event));
    return lines;
  }
  std::vector<Event> events;
};

TEST(HostLogTest, RepeatsAreCountedNotRepeated) {
  struct Record {
    const char *text;
    long long at;  // ms
  };
  struct Case {
    std::vector<Record> records;
    long long flush_at;  // the main loop's flush; -1: none
    std::vector<std::string> lines;
  };
  const std::vector<Case> cases = {
      {{{"a", 0}, {"a", 1}, {"a", 2}, {"b", 3}},
       -1,
       {"[32] a", "[32] repeated 2 times: a", "[32] b"}},
      {{{"a", 0}, {"b", 1}, {"a", 2}}, -1, {"[32] a", "[32] b", "[32] a"}},
      // A long run is counted out every few seconds, not only at its end.
      {{{"a", 0}, {"a", 1000}, {"a", 3000}, {"a", 6000}, {"a", 6001}},
       -1,
       {"[32] a", "[32] repeated 3 times: a"}},
      {{{"a", 0}, {"a", 1}}, 5000, {"[32] a"}},
      {{{"a", 0}, {"a", 1}}, 5001, {"[32] a", "[32] repeated 1 time: a"}},
  };
  for (const Case &c : cases) {
    Recorder recorder;
    HostLog log(recorder, false);
    for (const Record &record : c.records) {
      log.Add({ZEM_CLASS_MESSAGE, record.text, At(record.at)});
    }
    if (c.flush_at >= 0) log.Flush(At(c.flush_at));
    EXPECT_EQ(recorder.Lines(), c.lines) << c.records.size();
    EXPECT_EQ(log.Last(100).size(), c.lines.size());
  }
}

TEST(HostLogTest, LinesNameTheirInstance) {
  struct Case {
    int thread;  // what the logging thread works for
    const char *text;
    int ulo;
  };
  for (Case c : {Case{-1, "ULOPR1: Comms fail! Ulo 12", 12},
                 Case{3, "UloPR1: ULO 7, Gate $X not defined", 7},
                 Case{3, "UloPR1 : The 'Write' thread is busy", 3},
                 Case{-1, "ULOPR1: Block Read not supported!", -1}}) {
    Recorder recorder;
    HostLog log(recorder, true);
    std::thread([&] {
      SetThreadInstance(c.thread);
      log.Add({ZEM_CLASS_TRACE, c.text, At(0)});
    }).join();
    ASSERT_EQ(recorder.events.size(), 1u);
    EXPECT_EQ(std::get<LogEvent>(recorder.events[0]).ulo, c.ulo) << c.text;
  }
}

class LogFileTest : public testing::Test {
 protected:
  void SetUp() override {
    path_ = testing::TempDir() + "ulohost_log_" + std::to_string(getpid()) +
            "_" + testing::UnitTest::GetInstance()->current_test_info()->name();
    fs::remove(path_);
  }
  void TearDown() override { fs::remove(path_); }

  std::unique_ptr<Output> Open() {
    std::string error;
    std::unique_ptr<Output> file = MakeLogFile(
        path_, [this](const Event &event) { told_.Emit(event); }, error);
    EXPECT_TRUE(file) << error;
    return file;
  }

  std::string path_;
  Recorder told_;
};

TEST_F(LogFileTest, LinesCarryDateTimeAndInstanceInFileAndJournal) {
  struct Case {
    Event event;
    std::string line;  // in the file; empty: left out of the log
    int priority;
  };
  const std::vector<Case> cases = {
      {LogEvent{At(1500), 32, "UloPR1: Write gate id 4 failed", 2},
       "1970-01-01T00:00:01.500Z ulo 2 [32] UloPR1: Write gate id 4 failed", 5},
      {LogEvent{At(0), 8, "ULOPR1: Write succeded"},
       "1970-01-01T00:00:00.000Z [8] ULOPR1: Write succeded", 7},
      {WriteEvent{At(86399999), 1, "$SP1", 2, ULO_COMM_FAILURE, 7.5,
                  ULO_TYPE_FLOAT},
       "1970-01-01T23:59:59.999Z ulo 1 write $SP1 = 2: comm failure (7.5 s)",
       4},
      {PortEvent{At(0), 1, PortAction::kReopen, ULO_DONE,
                 PortReason::kReconnect, "COM1"},
       "1970-01-01T00:00:00.000Z ulo 1 reopen COM1: done (reconnect)", 5},
      {ReadEvent{At(0), 1, "COM", ULO_COMM_FAILURE, 0, true, 2},
       "1970-01-01T00:00:00.000Z ulo 1 COM = 0: comm failure (scheduled, 2.0 "
       "s)",
       4},
      {NoticeEvent{At(0), NoticeLevel::kError, "no"},
       "1970-01-01T00:00:00.000Z error: no", 3},
      {ReadEvent{At(0), 1, "COM", ULO_DONE, 1, true, 0.1}, "", 0},
      {GateEvent{At(0), 1, "$T1", 21.5, 4, ULO_TYPE_FLOAT, Quality::kGood}, "",
       0},
      {TextEvent{At(0), "help", {"a"}}, "", 0},
  };
  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  std::unique_ptr<Output> file = Open();
  std::unique_ptr<Output> journal = MakeJournal(pipe_fds[1]);
  std::string lines, journal_lines;
  for (const Case &c : cases) {
    file->Emit(c.event);
    journal->Emit(c.event);
    if (c.line.empty()) continue;
    lines += c.line + "\n";
    journal_lines += "<" + std::to_string(c.priority) + ">" +
                     c.line.substr(c.line.find(' ') + 1) + "\n";
  }
  EXPECT_EQ(ReadFile(path_), lines);
  close(pipe_fds[1]);
  std::string got(journal_lines.size() + 100, '\0');
  got.resize(
      static_cast<std::size_t>(read(pipe_fds[0], got.data(), got.size())));
  close(pipe_fds[0]);
  EXPECT_EQ(got, journal_lines);
}

// A full disk, as the file size limit makes it: no line in part, the trouble
// told once, and once there is room again the count of lines lost.
TEST_F(LogFileTest, AFullFileIsToldOnceAndResumes) {
  std::unique_ptr<Output> file = Open();
  auto line = [](int n) {
    return NoticeEvent{Clock::now(), NoticeLevel::kInfo,
                       "line " + std::to_string(n) + std::string(40, '.')};
  };
  file->Emit(line(0));
  std::size_t one = ReadFile(path_).size();

  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  void (*previous)(int) = std::signal(SIGXFSZ, SIG_IGN);
  rlimit small = saved;
  small.rlim_cur = one + one / 2;  // room for half a line more
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  for (int n = 1; n <= 5; ++n) file->Emit(line(n));
  std::string full = ReadFile(path_);
  setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, previous);

  EXPECT_EQ(full.size(), one) << "a line in part stayed";
  ASSERT_EQ(told_.events.size(), 1u);
  EXPECT_NE(EventLine(told_.events[0]).find("cannot write the log file"),
            std::string::npos);

  file->Emit(line(6));
  std::string resumed = ReadFile(path_);
  EXPECT_NE(resumed.find("is written again; 5 lines could not be written\n"),
            std::string::npos)
      << resumed;
  EXPECT_TRUE(
      resumed.ends_with(std::get<NoticeEvent>(Event(line(6))).text + "\n"));
  EXPECT_EQ(told_.events.size(), 2u);
}

}  // namespace
}  // namespace ulohost
