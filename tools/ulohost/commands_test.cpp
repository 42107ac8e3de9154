#include "commands.h"

#include <gtest/gtest.h>

#include "ulopr1/ulo.h"

namespace ulohost {
namespace {

Config TwoInstances() {
  Config config;
  ConfigErrors error;
  EXPECT_TRUE(ParseConfig(R"(
[[instance]]
ulo = 1
port = "COM1"
gate = [{address = "$SP1", type = "float"},
        {address = "@DO1", type = "digital"}]

[[instance]]
ulo = 2
port = "COM2"
gate = [{address = "$SP1", type = "float"}]
)",
                          "site.toml", "/", config, error))
      << error.ToString();
  return config;
}

Config OneInstance() {
  Config config = TwoInstances();
  config.instances.pop_back();
  return config;
}

std::string Refusal(const std::string &line, const Config &config) {
  Command command;
  std::string error;
  EXPECT_FALSE(ParseCommand(line, config, command, error)) << line;
  return error;
}

Command Accept(const std::string &line, const Config &config) {
  Command command;
  std::string error;
  EXPECT_TRUE(ParseCommand(line, config, command, error))
      << line << ": " << error;
  return command;
}

TEST(CommandsTest, WriteTakesTheGatesConfiguredType) {
  Config config = TwoInstances();
  Command command = Accept("write 1 $SP1 22.5", config);
  EXPECT_EQ(command.verb, Verb::kWrite);
  EXPECT_EQ(command.ulo, 1);
  EXPECT_EQ(command.gate, "$SP1");
  EXPECT_EQ(command.type, ULO_TYPE_FLOAT);
  EXPECT_EQ(command.value, 22.5);
  command = Accept("w 1 @DO1 1", config);
  EXPECT_EQ(command.type, ULO_TYPE_DIGITAL);
  EXPECT_EQ(command.value, 1);
}

TEST(CommandsTest, TheInstanceMayBeLeftOutOnlyWhenThereIsOne) {
  EXPECT_EQ(Accept("write $SP1 20", OneInstance()).ulo, 1);
  EXPECT_EQ(Accept("com", OneInstance()).ulo, 1);
  EXPECT_EQ(Accept("port ttyUSB3", OneInstance()).port.name, "ttyUSB3");
  EXPECT_NE(Refusal("write $SP1 20", TwoInstances()).find("1, 2"),
            std::string::npos);
  EXPECT_NE(Refusal("status", TwoInstances()).find("which instance"),
            std::string::npos);
  EXPECT_NE(Refusal("status 3", TwoInstances()).find("ulo 3"),
            std::string::npos);
}

TEST(CommandsTest, WritesTheDriverCannotServeAreRefusedBeforeSending) {
  Config config = TwoInstances();
  EXPECT_NE(Refusal("write 1 $sp1 20", config).find("case-sensitive"),
            std::string::npos);
  EXPECT_NE(Refusal("write 2 @DO1 1", config).find("no gate"),
            std::string::npos);
  EXPECT_NE(Refusal("write 1 STATUS 1", config).find("status 1"),
            std::string::npos);
  EXPECT_NE(Refusal("write 1 com 1", config).find("com 1"), std::string::npos);
  // "$SP1=" and six decimals of a large float overflow the driver's line.
  EXPECT_NE(Refusal("write 1 $SP1 1e38", config).find("at most 49"),
            std::string::npos);
  EXPECT_EQ(Accept("write 1 $SP1 -1e20", config).value, -1e20);
  EXPECT_NE(Refusal("write $SP1", config).find("usage"), std::string::npos);
}

TEST(CommandsTest, PortChangeKeepsWhatItIsNotGiven) {
  Config config = TwoInstances();
  Command command = Accept("port 2 ttyUSB1 19200 7 even 2", config);
  EXPECT_EQ(command.verb, Verb::kPort);
  EXPECT_EQ(command.ulo, 2);
  EXPECT_EQ(command.port.name, "ttyUSB1");
  EXPECT_EQ(*command.port.baud, 19200);
  EXPECT_EQ(*command.port.data_bits, 7);
  EXPECT_EQ(*command.port.parity, 2);
  EXPECT_EQ(*command.port.stop_bits, 2);
  command = Accept("port 1 COM4", config);
  EXPECT_EQ(command.port.name, "COM4");
  EXPECT_FALSE(command.port.baud.has_value());
  EXPECT_NE(Refusal("port 1 ttyUSB0-site-a", config).find("longer than 11"),
            std::string::npos);
  EXPECT_NE(Refusal("port 1 COM4 9600 9", config).find("data bits"),
            std::string::npos);
  EXPECT_NE(Refusal("port 1 COM4 9600 8 often", config).find("parity"),
            std::string::npos);
}

TEST(CommandsTest, JsonCommandsMeanTheSameAsText) {
  Config config = TwoInstances();
  Command text = Accept("write 2 $SP1 19.25", config);
  Command json =
      Accept(R"({"cmd":"write","ulo":2,"gate":"$SP1","value":19.25})", config);
  EXPECT_EQ(json.verb, text.verb);
  EXPECT_EQ(json.ulo, text.ulo);
  EXPECT_EQ(json.gate, text.gate);
  EXPECT_EQ(json.type, text.type);
  EXPECT_EQ(json.value, text.value);

  Command port = Accept(
      R"({"cmd":"port","ulo":1,"name":"COM5","baud":4800,"data_bits":7})",
      config);
  EXPECT_EQ(port.port.name, "COM5");
  EXPECT_EQ(*port.port.baud, 4800);
  EXPECT_EQ(*port.port.data_bits, 7);
  EXPECT_EQ(Accept(R"({"cmd":"log","lines":5})", config).count, 5);
  EXPECT_EQ(Accept(R"({"cmd":"quit"})", config).verb, Verb::kQuit);
}

TEST(CommandsTest, JsonCommandsAreCheckedToo) {
  Config config = TwoInstances();
  EXPECT_NE(Refusal(R"({"ulo":1})", config).find("cmd"), std::string::npos);
  EXPECT_NE(Refusal(R"({"cmd":"write","ulo":1,"gate":"$SP1","valu":1})", config)
                .find("valu"),
            std::string::npos);
  // A parity without the fields before it would land in the wrong place.
  EXPECT_NE(
      Refusal(R"({"cmd":"port","ulo":1,"name":"COM5","parity":"odd"})", config)
          .find("data_bits"),
      std::string::npos);
  EXPECT_NE(Refusal(R"({"cmd":"write", )", config).find("JSON"),
            std::string::npos);
}

// The values command, command ids (kept for the refusal too) and what a
// wrong write value is told.
TEST(CommandsTest, ValuesIdsAndWrongValuesTable) {
  Config config = TwoInstances();
  struct Case {
    const char *line;
    const char *error;  // part of the refusal; empty: accepted
    const char *id;     // the id taken, as JSON
  };
  const Case kCases[] = {
      {"values", "", "null"},
      {R"({"cmd":"values","id":7})", "", "7"},
      {R"({"cmd":"write","ulo":1,"gate":"@DO1","value":3,"id":"a-1"})", "",
       R"("a-1")"},
      {R"({"cmd":"status","ulo":3,"id":9})", "no instance with ulo 3", "9"},
      {R"({"cmd":"launch","id":"x"})", "unknown command", R"("x")"},
      {R"({"cmd":"values","id":[1]})", "\"id\" must be a string or a number",
       "null"},
      {"values 1", "usage: values", "null"},
      {"write 1 @DO1 1.5",
       "@DO1 is digital: it takes a whole number 0 to "
       "65535, not a fraction like 1.5",
       "null"},
      {"write 1 @DO1 70000", "whole number 0 to 65535; 70000 is out of range",
       "null"},
      {"write 1 @DO1 on", "'on' is not a number; @DO1 is digital", "null"},
      {R"({"cmd":"write","ulo":1,"gate":"@DO1","value":true})",
       "'true' is not a number; @DO1 is digital", "null"},
      {"write 1 @DO1 1e3", "", "null"},
      {"write 1 $SP1 warm", "'warm' is not a number", "null"},
      {"write 1 $SP1 1e39", "beyond what a float gate holds", "null"},
      {"port 1 COM4 9600.5", "baud must be a whole number 50 to 65535", "null"},
  };
  for (const Case &c : kCases) {
    Command command;
    std::string error;
    bool accepted = ParseCommand(c.line, config, command, error);
    EXPECT_EQ(accepted, *c.error == '\0') << c.line << ": " << error;
    EXPECT_NE(error.find(c.error), std::string::npos)
        << c.line << ": " << error;
    EXPECT_EQ(command.id.dump(), c.id) << c.line;
  }
  EXPECT_EQ(Accept("values", config).verb, Verb::kValues);
  EXPECT_EQ(Accept("write 1 @DO1 1e3", config).value, 1000);
}

// Lines cut from a byte stream in pieces; an over-long one is dropped up to
// its newline and reported once, and the next line is whole.
TEST(CommandsTest, InputLinesAreBounded) {
  struct Case {
    std::vector<std::string> chunks;
    std::size_t max;
    std::vector<std::string> lines;
    std::size_t errors;
  };
  const std::string huge(1 << 20, 'x');
  const Case kCases[] = {
      {{"a\nb\n"}, 8, {"a", "b"}, 0},
      {{"ab", "c\nd"}, 8, {"abc"}, 0},
      {{"1234\n"}, 4, {"1234"}, 0},
      {{"12345\nok\n"}, 4, {"ok"}, 1},
      {{"12", "345", "678", "9\nok\n"}, 4, {"ok"}, 1},
      {{"12345\n", "67890\n"}, 4, {}, 2},
      {{huge, huge, "\nquit\n"}, kMaxLineBytes, {"quit"}, 1},
  };
  for (const Case &c : kCases) {
    LineSplitter splitter(c.max);
    std::vector<std::string> lines, errors;
    for (const std::string &chunk : c.chunks) {
      splitter.Feed(chunk, lines, errors);
    }
    EXPECT_EQ(lines, c.lines) << c.chunks.front().substr(0, 20);
    EXPECT_EQ(errors.size(), c.errors) << c.chunks.front().substr(0, 20);
  }
}

TEST(CommandsTest, UnknownAndMalformedCommandsSayWhy) {
  Config config = OneInstance();
  EXPECT_NE(Refusal("launch", config).find("unknown command"),
            std::string::npos);
  EXPECT_NE(Refusal("", config).find("empty"), std::string::npos);
  EXPECT_NE(Refusal("log many", config).find("usage"), std::string::npos);
  EXPECT_NE(Refusal("quit now", config).find("usage"), std::string::npos);
  EXPECT_NE(Refusal("close x", config).find("not an instance number"),
            std::string::npos);
}

TEST(CommandsTest, FloatValuesReadAsTheCLibraryReadsThemInTheCLocale) {
  Config config = TwoInstances();
  const std::pair<const char *, double> kValues[] = {
      {"22.5", 22.5}, {"+22.5", 22.5},   {"-.5", -0.5},
      {"2.5e1", 25},  {"0x1.8p4", 24.0}, {"1e-400", 0.0}};
  for (auto [text, value] : kValues) {
    EXPECT_EQ(Accept(std::string("write 1 $SP1 ") + text, config).value, value)
        << text;
  }
  EXPECT_EQ(
      Accept(R"({"cmd":"write","ulo":1,"gate":"$SP1","value":0.1})", config)
          .value,
      0.1);
  EXPECT_NE(Refusal("write 1 $SP1 22,5", config).find("not a number"),
            std::string::npos);
}

}  // namespace
}  // namespace ulohost
