#include "line.h"

#include <gtest/gtest.h>

#include <string>

namespace prv1sim {
namespace {

using Kind = ReceivedLine::Kind;

TEST(LineAssembler, WriteLineArrivingInPiecesIsOneWrite) {
  LineAssembler assembler;
  EXPECT_TRUE(assembler.Feed("$SP1=21.5").empty());
  EXPECT_TRUE(assembler.InProgress());
  auto lines = assembler.Feed("00000\r$SP2");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].kind, Kind::kWrite);
  EXPECT_EQ(lines[0].text, "$SP1=21.500000");
  EXPECT_EQ(lines[0].address, "$SP1");
  EXPECT_EQ(lines[0].value, "21.500000");
  EXPECT_TRUE(assembler.InProgress());
}

TEST(LineAssembler, DigitalWriteAndRestartMessage) {
  LineAssembler assembler;
  auto lines = assembler.Feed("@DO3=1\rRESTART 100\r\r");
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].kind, Kind::kWrite);
  EXPECT_EQ(lines[0].address, "@DO3");
  EXPECT_EQ(lines[0].value, "1");
  EXPECT_EQ(lines[1].kind, Kind::kOther);
  EXPECT_EQ(lines[1].text, "RESTART 100");
  // An empty restart message arrives as a lone CR.
  EXPECT_EQ(lines[2].kind, Kind::kOther);
  EXPECT_EQ(lines[2].text, "");
  EXPECT_FALSE(assembler.InProgress());
}

TEST(ParseLine, OnlyDollarOrAtAddressesWithEqualsAreWrites) {
  EXPECT_EQ(ParseLine("STATUS=1").kind, Kind::kOther);
  EXPECT_EQ(ParseLine("$T1").kind, Kind::kOther);
  EXPECT_EQ(ParseLine(" $T1=1").kind, Kind::kOther);
  ReceivedLine line = ParseLine("$A=B=C");
  EXPECT_EQ(line.kind, Kind::kWrite);
  EXPECT_EQ(line.address, "$A");
  EXPECT_EQ(line.value, "B=C");
}

TEST(LineAssembler, EndlessTextIsCutAtTheLimit) {
  LineAssembler assembler;
  std::string garbage(LineAssembler::kMaxLine + 44, 'x');
  auto lines = assembler.Feed(garbage);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].text.size(), LineAssembler::kMaxLine);
  lines = assembler.Feed("\r");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].text, std::string(44, 'x'));
}

}  // namespace
}  // namespace prv1sim
