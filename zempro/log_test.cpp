// The host log: formatting by err(), sinks and their lines.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "zempro/control.h"

namespace zempro {
namespace {

TEST(Log, FormatsLikeSprintf) {
  MemoryLog log;
  err(ZEM_CLASS_MESSAGE, "ULOPR1: Ulo %d port %s value %.1f", 3, "COM2", 21.5);
  err(ZEM_CLASS_TRACE, "plain");
  const auto records = log.Records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].message_class, 32);
  EXPECT_EQ(records[0].text, "ULOPR1: Ulo 3 port COM2 value 21.5");
  EXPECT_EQ(records[1].message_class, 8);
  EXPECT_EQ(records[1].text, "plain");
}

TEST(Log, CutsHugeMessagesAndSurvivesBadFormats) {
  MemoryLog log;
  const std::string long_text(100000, 'x');
  err(ZEM_CLASS_TRACE, "<%s|%s>", long_text.c_str(), long_text.c_str());
  err(ZEM_CLASS_MESSAGE, nullptr);
  err(ZEM_CLASS_MESSAGE, "%s", static_cast<const char *>(nullptr));
  const auto records = log.Records();
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].text.size(), 1023u);
  EXPECT_EQ(records[0].text, "<" + long_text.substr(0, 1022));
  EXPECT_EQ(records[1].text, "(null format)");
  EXPECT_EQ(records[2].text, "(null)");
}

TEST(Log, SinksGetEveryMessageInOrderUntilRemoved) {
  std::vector<std::string> seen;
  const int first = AddLogSink(
      [&](const LogRecord &r) { seen.push_back("first " + r.text); });
  const int second = AddLogSink(
      [&](const LogRecord &r) { seen.push_back("second " + r.text); });
  err(ZEM_CLASS_MESSAGE, "a");
  RemoveLogSink(first);
  err(ZEM_CLASS_MESSAGE, "b");
  RemoveLogSink(second);
  err(ZEM_CLASS_MESSAGE, "c");
  EXPECT_EQ(seen,
            (std::vector<std::string>{"first a", "second a", "second b"}));
}

TEST(Log, SinkThatLogsOrThrowsBreaksNothing) {
#ifdef _WIN32
  GTEST_SKIP() << "On Windows each module links its own static C++ runtime, "
                  "and an exception cannot unwind from the program through "
                  "zempro.dll's frames";
#endif
  MemoryLog log;
  const int noisy = AddLogSink([](const LogRecord &) {
    err(ZEM_CLASS_MESSAGE, "from a sink");
    throw std::runtime_error("sink failed");
  });
  MemoryLog after;
  err(ZEM_CLASS_MESSAGE, "one");
  err(ZEM_CLASS_MESSAGE, "two");
  RemoveLogSink(noisy);
  EXPECT_EQ(log.Count(ZEM_CLASS_MESSAGE, "from a sink"), 0);
  EXPECT_EQ(after.Records().size(), 2u);
  EXPECT_EQ(after.Count(ZEM_CLASS_MESSAGE, "two"), 1);
}

TEST(Log, LineShowsLocalTimeClassAndEscapedText) {
  std::tm local{};
  local.tm_year = 2026 - 1900;
  local.tm_mday = 15;
  local.tm_hour = 13;
  local.tm_min = 4;
  local.tm_sec = 5;
  local.tm_isdst = -1;
  const LogRecord record{
      ZEM_CLASS_TRACE, "T=\xE9\r\n\x02ok\\",
      Clock::from_time_t(std::mktime(&local)) + std::chrono::milliseconds(78)};
  EXPECT_EQ(FormatLogLine(record),
            "13:04:05.078 [8] T=\\xE9\\x0D\\x0A\\x02ok\\");
}

TEST(Log, FileSinkAppendsOneLinePerMessage) {
  char path[] = "/tmp/zempro_log_XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, "old\n", 4), 4);
  close(fd);
  auto sink = FileSink(path);
  ASSERT_TRUE(sink.has_value());
  const int id = AddLogSink(*sink);
  sink.reset();
  err(ZEM_CLASS_MESSAGE, "first");
  err(ZEM_CLASS_TRACE, "second \xFF");
  RemoveLogSink(id);

  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  unlink(path);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "old");
  EXPECT_TRUE(lines[1].ends_with(" [32] first")) << lines[1];
  EXPECT_TRUE(lines[2].ends_with(" [8] second \\xFF")) << lines[2];
}

TEST(Log, FileSinkReportsUnopenableFile) {
  EXPECT_FALSE(FileSink("/nonexistent-dir/zempro.log").has_value());
}

TEST(Log, StderrSinkDropsTracesOnRequest) {
  testing::internal::CaptureStderr();
  const int quiet = AddLogSink(StderrSink(false));
  err(ZEM_CLASS_TRACE, "trace line");
  err(ZEM_CLASS_MESSAGE, "message line");
  RemoveLogSink(quiet);
  const std::string text = testing::internal::GetCapturedStderr();
  EXPECT_EQ(text.find("trace line"), std::string::npos);
  EXPECT_NE(text.find(" [32] message line\n"), std::string::npos) << text;
}

TEST(Log, WaitForReturnsWhenAnotherThreadLogs) {
  MemoryLog log;
  std::thread writer([] {
    for (int i = 0; i < 3; ++i) err(ZEM_CLASS_TRACE, "tick");
  });
  EXPECT_TRUE(
      log.WaitFor(ZEM_CLASS_TRACE, "tick", 3, std::chrono::seconds(30)));
  writer.join();
  EXPECT_FALSE(
      log.WaitFor(ZEM_CLASS_TRACE, "tick", 4, std::chrono::milliseconds(1)));
  log.Clear();
  EXPECT_TRUE(log.Records().empty());
}

}  // namespace
}  // namespace zempro
