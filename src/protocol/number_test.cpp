#include "protocol/number.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>

namespace ulo {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNan = std::numeric_limits<double>::quiet_NaN();

// Equal to the bit, so -0 differs from 0; any NaN of the same sign matches.
bool Same(double a, double b) {
  if (std::isnan(a) || std::isnan(b))
    return std::isnan(a) && std::isnan(b) && std::signbit(a) == std::signbit(b);
  return std::memcmp(&a, &b, sizeof a) == 0;
}

struct ReadCase {
  std::string text;
  double value;
  std::size_t length;  // characters the number takes, white space included
};

const ReadCase kReadCases[] = {
    {"21.5", 21.5, 4},
    {"21,5", 21.0, 2},
    {" \t\n\v\f\r-2.5e1xyz", -25.0, 12},
    {"+.5", 0.5, 3},
    {"5.", 5.0, 2},
    {"007", 7.0, 3},
    {"-0", -0.0, 2},
    {"1E-2", 0.01, 4},
    {"1e", 1.0, 1},
    {"1e+", 1.0, 1},
    {"1e+-2", 1.0, 1},
    {"12.5e+01!", 125.0, 8},
    {"0x1.8p3", 12.0, 7},
    {"-0X.8P1", -1.0, 7},
    {"0xAbp-4", 10.6875, 7},
    {"0x1p", 1.0, 3},
    {"0x1p+-5", 1.0, 3},
    {"0x", 0.0, 1},
    {"0xg", 0.0, 1},
    {"0x-1", 0.0, 1},
    {"0xinf", 0.0, 1},
    {"inf", kInf, 3},
    {"-Infinity", -kInf, 9},
    {"INFINITE", kInf, 3},
    {"NaN", kNan, 3},
    {"nan(123)x", kNan, 8},
    {"nan(1", kNan, 3},
    {"-nan", -kNan, 4},
    {"1e400", kInf, 5},
    {"-1e400", -kInf, 6},
    {"0.001e400", kInf, 9},
    {"1e99999999999999999999", kInf, 22},
    {"1" + std::string(400, '0'), kInf, 401},
    {"1" + std::string(400, '0') + "e-500", 1e-100, 406},
    {"1e-400", 0.0, 6},
    {"-1e-400", -0.0, 7},
    {"0." + std::string(400, '0') + "1", 0.0, 403},
    {"1000e-400", 0.0, 9},
    {"1000e-326", 1e-323, 9},
    {"4.9e-324", std::numeric_limits<double>::denorm_min(), 8},
    {"0x1p99999", kInf, 9},
    {"-0x1p-99999", -0.0, 11},
};

TEST(ReadNumber, ReadsAsStrtodInTheCLocale) {
  for (const ReadCase &c : kReadCases) {
    double value = 1;
    const char *end =
        ReadNumber(c.text.data(), c.text.data() + c.text.size(), value);
    EXPECT_TRUE(Same(value, c.value)) << c.text << " read " << value;
    EXPECT_EQ(std::size_t(end - c.text.data()), c.length) << c.text;
    EXPECT_TRUE(Same(ParseNumber(c.text.c_str()), c.value)) << c.text;
  }
}

TEST(ReadNumber, NoNumberReadsZeroAndTakesNothing) {
  for (std::string text :
       {"", "abc", "-", "+", "+-5", "--5", "- 5", " .", ".e5", "e5", "   "}) {
    double value = 1;
    EXPECT_EQ(ReadNumber(text.data(), text.data() + text.size(), value),
              text.data())
        << text;
    EXPECT_TRUE(Same(value, 0.0)) << text;
    EXPECT_TRUE(Same(ParseNumber(text.c_str()), 0.0)) << text;
  }
}

TEST(ReadNumber, StopsAtTheEndOfTheRange) {
  const char text[] = "12.5e3";
  double value = 0;
  EXPECT_EQ(ReadNumber(text, text + 4, value), text + 4);
  EXPECT_EQ(value, 12.5);
  EXPECT_EQ(ReadNumber(text, text + 6, value), text + 6);
  EXPECT_EQ(value, 12500.0);
}

struct FormatCase {
  double value;
  const char *text;
};

// Floats widened as the driver widens them, and doubles; the texts are the
// exact decimal values rounded to six places, half to even.
const FormatCase kFormatCases[] = {
    {double{22.5f}, "22.500000"},
    {0.0, "0.000000"},
    {-0.0, "-0.000000"},
    {double{0.1f}, "0.100000"},
    {5e-7, "0.000000"},
    {1.5e-6, "0.000002"},
    {double{-1e-7f}, "-0.000000"},
    {double{123456.789f}, "123456.789062"},
    {double{16777217.0f}, "16777216.000000"},
    {double{3e38f}, "300000000549775575777803994281145270272.000000"},
    {double{-std::numeric_limits<float>::max()},
     "-340282346638528859811704183484516925440.000000"},
    {1e20, "100000000000000000000.000000"},
    {kInf, "inf"},
    {-kInf, "-inf"},
    {kNan, "nan"},
    {-kNan, "-nan"},
};

TEST(FormatFixed, WritesAsPercentFInTheCLocale) {
  for (const FormatCase &c : kFormatCases) {
    char text[kFloatFixedSize];
    std::size_t length = FormatFixed(c.value, text, sizeof text);
    EXPECT_STREQ(text, c.text);
    EXPECT_EQ(length, std::strlen(c.text)) << c.text;
  }
}

TEST(FormatFixed, ReturnsTheSizeWhenTheTextDoesNotFit) {
  char text[10] = "x";
  EXPECT_EQ(FormatFixed(22.5, text, 10), 9u);
  EXPECT_STREQ(text, "22.500000");
  EXPECT_EQ(FormatFixed(22.5, text, 9), 9u);
  EXPECT_STREQ(text, "");
  EXPECT_EQ(FormatFixed(22.5, text, 0), 0u);
  char wide[kFloatFixedSize];
  EXPECT_EQ(FormatFixed(1e300, wide, sizeof wide), sizeof wide);
}

}  // namespace
}  // namespace ulo
