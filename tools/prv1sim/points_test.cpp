#include "points.h"

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <string>

namespace prv1sim {
namespace {

using Kind = Point::Kind;
using Result = PointSet::WriteResult;

TEST(FormatValue, AnalogAtMostTwoDecimalsDigitalWhole) {
  auto analog = [](double v) {
    return FormatValue({"$X", Kind::kAnalog, v, 0, 0, 0, false});
  };
  EXPECT_EQ(analog(21.5), "21.5");
  EXPECT_EQ(analog(21.0), "21");
  EXPECT_EQ(analog(0.05), "0.05");
  EXPECT_EQ(analog(-3.25), "-3.25");
  EXPECT_EQ(analog(-0.001), "0");
  EXPECT_EQ(analog(1.5e12), "1.5e+12");
  EXPECT_EQ(FormatValue({"@X", Kind::kDigital, 1, 0, 0, 0, true}), "1");
}

TEST(PointSet, WrittenValuesAreStoredAsReported) {
  PointSet points(BuiltinPoints());
  EXPECT_EQ(points.Apply("$SP1", "23.456000"), Result::kChanged);
  EXPECT_EQ(ReportText(*points.Find("$SP1")), "$SP1=23.46");
  EXPECT_EQ(points.Apply("$SP1", "23.460000"), Result::kUnchanged);
  EXPECT_EQ(points.Apply("@DO3", "1"), Result::kChanged);
  EXPECT_EQ(ReportText(*points.Find("@DO3")), "@DO3=1");
  EXPECT_EQ(points.Apply("@DO3", "7"), Result::kChanged);
  EXPECT_EQ(ReportText(*points.Find("@DO3")), "@DO3=7");
}

TEST(PointSet, WrittenValuesReadAsTheCLibraryReadsThemInTheCLocale) {
  PointSet points(BuiltinPoints());
  const std::pair<const char *, const char *> kWrites[] = {
      {"22.500000", "22.5"},
      {" +22.25", "22.25"},
      {"0x1.8p4", "24"},
      {"2.5e1", "25"},
      {"-.5", "-0.5"}};
  for (auto [text, report] : kWrites) {
    EXPECT_NE(points.Apply("$SP1", text), Result::kBadValue) << text;
    EXPECT_EQ(ReportText(*points.Find("$SP1")), std::string("$SP1=") + report)
        << text;
  }
  EXPECT_EQ(points.Apply("$SP1", "22,5"), Result::kBadValue);
}

TEST(PointSet, RefusedWritesLeaveThePointAlone) {
  PointSet points(BuiltinPoints());
  std::string before = ReportText(*points.Find("@DO1"));
  for (const char *bad : {"1.5", "-1", "abc", "", "1x", "nan", "inf"}) {
    EXPECT_EQ(points.Apply("@DO1", bad), Result::kBadValue) << bad;
  }
  EXPECT_EQ(points.Apply("$SP2", "21.5 "), Result::kBadValue);
  EXPECT_EQ(ReportText(*points.Find("@DO1")), before);
  EXPECT_EQ(points.Apply("$NOPE", "1"), Result::kUnknownPoint);
}

TEST(PointSet, DriftStepsWithinRangeAndTogglesOnlyChangingPoints) {
  std::vector<Point> list = {
      {"$T", Kind::kAnalog, 20.0, 19.0, 21.0, 0.25, false},
      {"$SP", Kind::kAnalog, 22.0, 22.0, 22.0, 0, false},
      {"@D", Kind::kDigital, 0, 0, 0, 0, true},
      {"@FIXED", Kind::kDigital, 1, 0, 0, 0, false},
  };
  PointSet points(list);
  std::mt19937 random(42);
  std::map<std::string, int> changes;
  double last_t = 20.0, last_d = 0;
  for (int i = 0; i < 2000; ++i) {
    const Point *changed = points.Drift(random);
    ASSERT_NE(changed, nullptr);
    ++changes[changed->address];
    const Point &t = *points.Find("$T");
    ASSERT_GE(t.value, 19.0);
    ASSERT_LE(t.value, 21.0);
    if (changed->address == "$T") {
      ASSERT_NEAR(std::fabs(t.value - last_t), 0.25, 1e-9);
      last_t = t.value;
    } else {
      ASSERT_NE(changed->value, last_d);
      last_d = changed->value;
    }
  }
  EXPECT_GT(changes["$T"], 0);
  EXPECT_GT(changes["@D"], 0);
  EXPECT_EQ(changes.size(), 2u);
  EXPECT_EQ(points.Find("$SP")->value, 22.0);
  EXPECT_EQ(points.Find("@FIXED")->value, 1.0);
}

TEST(PointSet, NothingDriftsWhenNoPointChanges) {
  PointSet points({{"$SP", Kind::kAnalog, 1, 1, 1, 0, false}});
  std::mt19937 random(1);
  EXPECT_EQ(points.Drift(random), nullptr);
}

TEST(ParsePoints, ReadsEveryField) {
  std::vector<Point> points;
  std::string error;
  ASSERT_TRUE(ParsePoints(R"(
[[point]]
address = "$T1"
kind = "analog"
value = 21.5
min = 15
max = 28.0
step = 0.2

[[point]]
address = "$SP1"
kind = "analog"
value = 21

[[point]]
address = "@DO1"
kind = "digital"
value = true
toggle = false
)",
                          "site.toml", points, error))
      << error;
  ASSERT_EQ(points.size(), 3u);
  EXPECT_EQ(points[0].address, "$T1");
  EXPECT_EQ(points[0].kind, Kind::kAnalog);
  EXPECT_EQ(points[0].value, 21.5);
  EXPECT_EQ(points[0].min, 15.0);
  EXPECT_EQ(points[0].max, 28.0);
  EXPECT_EQ(points[0].step, 0.2);
  EXPECT_FALSE(points[1].Changes());
  EXPECT_EQ(points[2].kind, Kind::kDigital);
  EXPECT_EQ(points[2].value, 1.0);
  EXPECT_FALSE(points[2].Changes());
}

struct BadFile {
  const char *text;
  const char *where;    // "FILE:LINE:"
  const char *message;  // part of the message
};

TEST(ParsePoints, ErrorsNameFileLineAndField) {
  const BadFile cases[] = {
      {"[[point]]\naddress = \"$T1\nkind = 1\n", "bad.toml:2:", ""},
      {"[[point]]\naddress = \"$T1\"\nkind = \"analogue\"\nvalue = 1\n",
       "bad.toml:3:", "point 1, field \"kind\""},
      {"[[point]]\nkind = \"digital\"\nvalue = 0\n",
       "bad.toml:1:", "point 1, field \"address\": missing"},
      {"[[point]]\naddress = \"T1\"\nkind = \"analog\"\nvalue = 1\n",
       "bad.toml:2:", "field \"address\""},
      {"[[point]]\naddress = \"$T1\"\nkind = \"analog\"\nvalue = 1\n"
       "[[point]]\naddress = \"$T1\"\nkind = \"analog\"\nvalue = 2\n",
       "bad.toml:6:", "point 2, field \"address\": \"$T1\" is defined twice"},
      {"[[point]]\naddress = \"$T1\"\nkind = \"analog\"\nvalue = 1\n"
       "colour = \"red\"\n",
       "bad.toml:5:", "point 1, field \"colour\": unknown field"},
      {"[[point]]\naddress = \"$T1\"\nkind = \"analog\"\nvalue = 1\n"
       "step = 0.5\n",
       "bad.toml:5:", "field \"min\": needed"},
      {"[[point]]\naddress = \"$T1\"\nkind = \"analog\"\nvalue = 40\n"
       "min = 0\nmax = 30\nstep = 1\n",
       "bad.toml:4:", "field \"value\": outside min..max"},
      {"[[point]]\naddress = \"@D\"\nkind = \"digital\"\nvalue = 2\n",
       "bad.toml:4:", "field \"value\""},
      {"[[point]]\naddress = \"@D\"\nkind = \"digital\"\nvalue = 1\n"
       "step = 1\n",
       "bad.toml:5:", "field \"step\": analog points only"},
      {"[[point]]\naddress = \"$T1\"\nkind = \"analog\"\nvalue = \"warm\"\n",
       "bad.toml:4:", "field \"value\": must be a number"},
      {"title = \"site\"\n", "bad.toml:1:", "unknown key \"title\""},
      {"", "bad.toml:1:", "no points"},
  };
  for (const BadFile &bad : cases) {
    std::vector<Point> points;
    std::string error;
    EXPECT_FALSE(ParsePoints(bad.text, "bad.toml", points, error)) << bad.text;
    EXPECT_EQ(error.rfind(bad.where, 0), 0u) << error;
    EXPECT_NE(error.find(bad.message), std::string::npos) << error;
  }
}

TEST(ParsePoints, AddressesLongerThanAReceiverKeepsAreRefused) {
  std::string text = "[[point]]\naddress = \"$" +
                     std::string(ULO_ADDRESS_MAX, 'A') +
                     "\"\nkind = \"analog\"\nvalue = 1\n";
  std::vector<Point> points;
  std::string error;
  EXPECT_FALSE(ParsePoints(text, "long.toml", points, error));
  EXPECT_NE(error.find("longer than 31"), std::string::npos) << error;
}

TEST(LoadPoints, ExampleSiteLoadsAndMissingFileIsNamed) {
  std::vector<Point> points;
  std::string error;
  EXPECT_TRUE(LoadPoints(PRV1SIM_EXAMPLE_POINTS, points, error)) << error;
  EXPECT_GE(points.size(), 3u);
  EXPECT_FALSE(LoadPoints("/nonexistent/site.toml", points, error));
  EXPECT_NE(error.find("/nonexistent/site.toml"), std::string::npos);
}

}  // namespace
}  // namespace prv1sim
