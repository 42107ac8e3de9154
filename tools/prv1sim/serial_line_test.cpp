#include "serial_line.h"

#include <gtest/gtest.h>

#include <random>

namespace prv1sim {
namespace {

TEST(BitsPerChar, CountsStartDataParityAndStopBits) {
  EXPECT_EQ(BitsPerChar({9600, 8, Parity::kNone, 1}), 10.0);
  EXPECT_EQ(BitsPerChar({9600, 7, Parity::kEven, 2}), 11.0);
  EXPECT_EQ(BitsPerChar({9600, 5, Parity::kMark, 1}), 8.0);
  EXPECT_EQ(BitsPerChar({9600, 5, Parity::kNone, 1.5}), 7.5);
}

TEST(MakeTermios, MapsDataBitsParityAndStopBits) {
  termios state{};
  std::string error;
  ASSERT_TRUE(MakeTermios({19200, 7, Parity::kEven, 2}, state, error));
  EXPECT_EQ(state.c_cflag & CSIZE, static_cast<tcflag_t>(CS7));
  EXPECT_TRUE(state.c_cflag & PARENB);
  EXPECT_FALSE(state.c_cflag & PARODD);
  EXPECT_FALSE(state.c_cflag & CMSPAR);
  EXPECT_TRUE(state.c_cflag & CSTOPB);
  EXPECT_EQ(cfgetospeed(&state), static_cast<speed_t>(B19200));

  ASSERT_TRUE(MakeTermios({9600, 8, Parity::kOdd, 1}, state, error));
  EXPECT_EQ(state.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_TRUE(state.c_cflag & PARODD);
  EXPECT_FALSE(state.c_cflag & CSTOPB);

  ASSERT_TRUE(MakeTermios({9600, 8, Parity::kMark, 1}, state, error));
  EXPECT_EQ(state.c_cflag & (PARENB | CMSPAR | PARODD),
            static_cast<tcflag_t>(PARENB | CMSPAR | PARODD));
  ASSERT_TRUE(MakeTermios({9600, 5, Parity::kSpace, 1}, state, error));
  EXPECT_EQ(state.c_cflag & (PARENB | CMSPAR | PARODD),
            static_cast<tcflag_t>(PARENB | CMSPAR));
  EXPECT_EQ(state.c_cflag & CSIZE, static_cast<tcflag_t>(CS5));

  ASSERT_TRUE(MakeTermios({9600, 8, Parity::kNone, 1}, state, error));
  EXPECT_FALSE(state.c_cflag & PARENB);
  // No half bit in a termios: 1.5 stop bits are two.
  ASSERT_TRUE(MakeTermios({9600, 5, Parity::kNone, 1.5}, state, error));
  EXPECT_TRUE(state.c_cflag & CSTOPB);
}

TEST(MakeTermios, RefusesABaudRateWithoutSpeed) {
  termios state{};
  std::string error;
  EXPECT_FALSE(MakeTermios({12345, 8, Parity::kNone, 1}, state, error));
  EXPECT_NE(error.find("12345"), std::string::npos);
  // 4098 is also the value of B115200: it must not turn into that rate.
  EXPECT_FALSE(MakeTermios({4098, 8, Parity::kNone, 1}, state, error));
  ASSERT_TRUE(MakeTermios({115200, 8, Parity::kNone, 1}, state, error));
  EXPECT_EQ(cfgetospeed(&state), static_cast<speed_t>(B115200));
}

TEST(Pacer, SlotsFollowAnAbsoluteScheduleWhateverTheWakeUps) {
  using std::chrono::microseconds;
  // 1200 baud, 10 bits: one character every 8333.33 us.
  Pacer pacer(1200, 10);
  Pacer::Clock::time_point start{};
  start += std::chrono::hours(1);
  std::mt19937 random(7);
  std::size_t sent = pacer.Take(start, 100000);
  EXPECT_EQ(sent, 1u);
  Pacer::Clock::time_point now = start;
  for (int i = 0; i < 5000; ++i) {
    // Late and irregular wake-ups must neither lose nor add slots.
    now += microseconds(std::uniform_int_distribution<int>(1, 30000)(random));
    sent += pacer.Take(now, 100000);
    auto elapsed = std::chrono::nanoseconds(now - start).count();
    ASSERT_EQ(sent, static_cast<std::size_t>(elapsed * 120 / 1000000000) + 1);
  }
  EXPECT_GT(pacer.Next(), now);
}

TEST(Pacer, AnIdleLineStartsAtOnceAndABusyOneWaits) {
  Pacer pacer(9600, 10);
  Pacer::Clock::time_point now{};
  now += std::chrono::hours(1);
  EXPECT_EQ(pacer.Take(now, 3), 1u);
  EXPECT_EQ(pacer.Take(now, 2), 0u);
  EXPECT_EQ(pacer.Take(now, 0), 0u);
  // The first character is still on the wire: the next one waits for it.
  EXPECT_EQ(pacer.Take(now, 1), 0u);
  EXPECT_EQ(pacer.Next() - now, std::chrono::nanoseconds(1041666));
  now += std::chrono::seconds(5);
  EXPECT_EQ(pacer.Take(now, 0), 0u);
  EXPECT_EQ(pacer.Take(now, 10), 1u);
  // The pace keeps a half stop bit: 7.5 bits at 9600 baud.
  Pacer half(9600, 7.5);
  EXPECT_EQ(half.Take(now, 2), 1u);
  EXPECT_EQ(half.Next() - now, std::chrono::nanoseconds(781250));
}

}  // namespace
}  // namespace prv1sim
