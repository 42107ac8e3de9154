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
  json write = ToJson(WriteEvent{At(1500), 3, "$SP1", 22.5, ULO_COMM_FAILURE,
                                 7.5, ULO_TYPE_FLOAT});
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
      GateEvent{At(0), 1, "$T1", 21.5, 4, ULO_TYPE_FLOAT, Quality::kGood},
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

// Gate type and quality, digital values as JSON integers, and command ids
// (absent when the command had none). A null in the expected fields means
// the field is absent.
TEST(EventsTest, TypeQualityValuesAndIdsTable) {
  GateSnapshot fresh{1,    "$T1", "Zone", ULO_TYPE_FLOAT,
                     21.5, 3.25,  7,      Quality::kGood};
  GateSnapshot none{
      2, "@DO1", "", ULO_TYPE_DIGITAL, std::nullopt, 0, 0, Quality::kUncertain};
  GateSnapshot digital{2,   "@DO2", "", ULO_TYPE_DIGITAL,
                       1.0, 0.5,    2,  Quality::kStale};
  struct Case {
    Event event;
    const char *fields;
  };
  const Case kCases[] = {
      {GateEvent{At(0), 1, "@DO1", 1.0, 3, ULO_TYPE_DIGITAL, Quality::kGood},
       R"({"type":"digital","value":1,"quality":"good","id":null})"},
      {GateEvent{At(0), 1, "$T1", 21.5, 3, ULO_TYPE_FLOAT, Quality::kStale},
       R"({"type":"float","value":21.5,"quality":"stale"})"},
      {WriteEvent{At(0), 1, "@DO1", 2.0, ULO_DONE, 0.5, ULO_TYPE_DIGITAL, "w1"},
       R"({"type":"digital","value":2,"id":"w1"})"},
      {WriteEvent{At(0), 1, "$SP1", 2.0, ULO_DONE, 0.5, ULO_TYPE_FLOAT},
       R"({"value":2.0,"id":null})"},
      {ReadEvent{At(0), 1, "COM", ULO_DONE, 1, false, 0.1, 12}, R"({"id":12})"},
      {PortEvent{At(0), 1, PortAction::kClose, ULO_DONE, PortReason::kCommand,
                 "COM1", "p"},
       R"({"id":"p"})"},
      {NoticeEvent{At(0), NoticeLevel::kError, "no", 5}, R"({"id":5})"},
      {TextEvent{At(0), "help", {"a"}, "h"}, R"({"id":"h"})"},
      {QualityEvent{At(0), 2, Quality::kStale, "port lost", {"$T1", "@DO1"}},
       R"({"event":"quality","ulo":2,"quality":"stale","reason":"port lost",
           "gates":["$T1","@DO1"]})"},
      {ValuesEvent{At(0), {fresh, none}, "v"},
       R"({"event":"values","id":"v","gates":[
           {"ulo":1,"gate":"$T1","label":"Zone","type":"float","value":21.5,
            "age":3.25,"quality":"good","updates":7},
           {"ulo":2,"gate":"@DO1","label":"","type":"digital","value":null,
            "age":null,"quality":"uncertain","updates":0}]})"},
  };
  for (const Case &c : kCases) {
    json out = ToJson(c.event);
    json expected = json::parse(c.fields);
    for (auto &[key, value] : expected.items()) {
      if (value.is_null()) {
        EXPECT_FALSE(out.contains(key)) << out.dump();
      } else {
        // Compared as text: 1 and 1.0 differ there.
        EXPECT_EQ(out[key].dump(), value.dump()) << key;
      }
    }
  }
}

}  // namespace
}  // namespace ulohost
