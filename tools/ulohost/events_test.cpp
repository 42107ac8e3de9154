#include "events.h"

#include <gtest/gtest.h>

#include "ulopr1/ulo.h"

namespace ulohost {
namespace {

using nlohmann::json;

Clock::time_point At(long long millis) {
  return Clock::time_point(std::chrono::milliseconds(millis));
}

TEST(EventsTest, DriverTextWithAnyBytesStaysValidJson) {
  // A garbled echo or the code-page-437 banner may reach the log.
  std::string text = "ULOPR1: sent:$SP1=1\r recv:\x02\xb3\xff\x7f";
  json event = ToJson(LogEvent{At(0), 8, text});
  std::string line = event.dump();  // throws on invalid UTF-8
  EXPECT_EQ(event["text"],
            "ULOPR1: sent:$SP1=1\\x0D recv:\\x02\\xB3\\xFF\\x7F");
  EXPECT_EQ(line.find('\n'), std::string::npos);
  EXPECT_EQ(json::parse(line)["class"], 8);
}

TEST(EventsTest, ResultsCarryCodeAndVerdict) {
  json write =
      ToJson(WriteEvent{At(1500), 3, "$SP1", 22.5, ULO_COMM_FAILURE, 7.5});
  EXPECT_EQ(write["event"], "write");
  EXPECT_EQ(write["ulo"], 3);
  EXPECT_EQ(write["gate"], "$SP1");
  EXPECT_EQ(write["value"], 22.5);
  EXPECT_EQ(write["result"], ULO_COMM_FAILURE);
  EXPECT_EQ(write["ok"], false);
  EXPECT_EQ(write["time"], "1970-01-01T00:00:01.500Z");

  json read = ToJson(ReadEvent{At(0), 1, "COM", ULO_DONE, 1, true, 0.01});
  EXPECT_EQ(read["event"], "read");
  EXPECT_EQ(read["ok"], true);
  EXPECT_EQ(read["value"], 1);
  EXPECT_EQ(read["scheduled"], true);

  json port = ToJson(PortEvent{At(0), 1, PortAction::kReopen, ULO_COMM_FAILURE,
                               PortReason::kReconnect, "COM1"});
  EXPECT_EQ(port["action"], "reopen");
  EXPECT_EQ(port["reason"], "reconnect");
  EXPECT_EQ(port["ok"], false);
}

TEST(EventsTest, EveryKindIsNamed) {
  std::vector<Event> events = {
      GateEvent{At(0), 1, "$T1", 21.5, 4},
      StateEvent{At(0), HostState::kRunning},
      NoticeEvent{At(0), NoticeLevel::kError, "no"},
      TextEvent{At(0), "help", {"a", "b"}},
      LostEvent{At(0), 3},
  };
  std::vector<std::string> kinds;
  for (const Event &event : events) kinds.push_back(ToJson(event)["event"]);
  EXPECT_EQ(kinds, (std::vector<std::string>{"gate", "state", "notice", "text",
                                             "lost"}));
  EXPECT_EQ(ToJson(events[0])["updates"], 4);
  EXPECT_EQ(ToJson(events[3])["lines"].size(), 2u);
  EXPECT_EQ(ToJson(events[4])["count"], 3);
}

}  // namespace
}  // namespace ulohost
