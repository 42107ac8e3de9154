#include "frame.h"

#include <gtest/gtest.h>

#include <string>

#include "points.h"

namespace prv1sim {
namespace {

TEST(Frame, ReportHasStxHeaderTextCrEtx) {
  EXPECT_EQ(BuildFrame("01", "$T1=21.5"),
            "\x02"
            "01$T1=21.5\r\x03");
}

TEST(Frame, ErrorReplyIsAFrameOfItsOwn) {
  EXPECT_EQ(BuildFrame("07", ErrorText(13)),
            "\x02"
            "07ERROR 13\r\x03");
}

TEST(Frame, WithoutEtxEndsAtCr) {
  EXPECT_EQ(BuildFrame("01", "@DO3=1", false),
            "\x02"
            "01@DO3=1\r");
}

TEST(Frame, LongestAddressWithExtremeValuesFitsAReceiver) {
  Point point{std::string(ULO_ADDRESS_MAX, 'A'),
              Point::Kind::kAnalog,
              0,
              0,
              0,
              0,
              false};
  point.address[0] = '$';
  for (double value : {-999999999999.99, 1e300, -1e-300, 123456789.125}) {
    point.value = value;
    std::string frame = BuildFrame("01", ReportText(point));
    EXPECT_LE(frame.size(), kMaxFrame) << frame;
  }
  point.kind = Point::Kind::kDigital;
  point.value = 4294967295.0;
  EXPECT_LE(BuildFrame("01", ReportText(point)).size(), kMaxFrame);
}

TEST(Frame, ShowSpellsOutControlCharacters) {
  EXPECT_EQ(Show("\x02"
                 "01$T1=1\r\x03\n\x7f"),
            "<STX>01$T1=1<CR><ETX><LF><7F>");
}

}  // namespace
}  // namespace prv1sim
