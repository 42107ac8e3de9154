#include "line_state.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

using ulo::os::BaudOf;
using ulo::os::DcbToTermios;
using ulo::os::SpeedOf;
using ulo::os::TermiosToDcb;

DCB Line(BYTE size, BYTE parity) {
  DCB dcb{};
  dcb.BaudRate = 9600;
  dcb.ByteSize = size;
  dcb.Parity = parity;
  dcb.StopBits = ONESTOPBIT;
  return dcb;
}

TEST(LineStateTest, DataBitsAndParityMapBothWays) {
  struct Parity {
    BYTE code;
    tcflag_t flags;
  };
  // Mark is stick parity with the bit odd parity would set; space without.
  const Parity parities[] = {{NOPARITY, 0},
                             {ODDPARITY, PARENB | PARODD},
                             {EVENPARITY, PARENB},
                             {MARKPARITY, PARENB | CMSPAR | PARODD},
                             {SPACEPARITY, PARENB | CMSPAR}};
  const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
  for (BYTE size = 5; size <= 8; ++size) {
    for (const Parity &parity : parities) {
      termios state{};
      state.c_cflag = PARENB | PARODD | CMSPAR | CS8;  // stale bits
      ASSERT_TRUE(DcbToTermios(Line(size, parity.code), state));
      EXPECT_EQ(state.c_cflag & CSIZE, sizes[size - 5]);
      EXPECT_EQ(state.c_cflag & (PARENB | PARODD | CMSPAR), parity.flags);
      EXPECT_EQ(state.c_iflag & INPCK, 0u) << "bytes must pass unchanged";
      DCB back{};
      TermiosToDcb(state, back);
      EXPECT_EQ(back.ByteSize, size);
      EXPECT_EQ(back.Parity, parity.code);
    }
  }
}

TEST(LineStateTest, ImpossibleRequestsLeaveTheStateAlone) {
  DCB bad[] = {Line(4, NOPARITY), Line(9, NOPARITY), Line(8, 5), Line(8, 0),
               Line(8, 0)};
  bad[3].StopBits = 3;
  bad[4].BaudRate = 0;
  for (const DCB &dcb : bad) {
    termios state{};
    state.c_lflag = ICANON | ECHO;
    termios before = state;
    EXPECT_FALSE(DcbToTermios(dcb, state));
    EXPECT_EQ(std::memcmp(&state, &before, sizeof state), 0);
  }
}

TEST(LineStateTest, StandardRatesHaveConstantsOthersNone) {
  for (DWORD baud : {50u, 300u, 9600u, 38400u, 115200u, 4000000u}) {
    speed_t speed = SpeedOf(baud);
    EXPECT_NE(speed, static_cast<speed_t>(B0)) << baud;
    EXPECT_EQ(BaudOf(speed), baud);
  }
  EXPECT_EQ(SpeedOf(12345), static_cast<speed_t>(B0));
  EXPECT_EQ(SpeedOf(0), static_cast<speed_t>(B0));
  termios state{};
  ASSERT_TRUE(DcbToTermios(Line(8, NOPARITY), state));
  EXPECT_EQ(cfgetispeed(&state), static_cast<speed_t>(B9600));
  EXPECT_EQ(cfgetospeed(&state), static_cast<speed_t>(B9600));
}

TEST(LineStateTest, SoftwareFlowControlMapsBothWays) {
  DCB dcb = Line(8, NOPARITY);
  dcb.fOutX = 1;
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  termios state{};
  ASSERT_TRUE(DcbToTermios(dcb, state));
  EXPECT_EQ(state.c_iflag & (IXON | IXOFF), static_cast<tcflag_t>(IXON));
  EXPECT_EQ(state.c_cc[VSTART], 0x11);
  EXPECT_EQ(state.c_cc[VSTOP], 0x13);
  DCB back{};
  TermiosToDcb(state, back);
  EXPECT_EQ(back.fOutX, 1u);
  EXPECT_EQ(back.fInX, 0u);
  EXPECT_EQ(back.XoffChar, 0x13);
}

TEST(LineStateTest, HandshakeFollowsTheTerminalWhenItDisagrees) {
  termios state{};
  DCB dcb = Line(8, NOPARITY);
  dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
  ASSERT_TRUE(DcbToTermios(dcb, state));
  EXPECT_NE(state.c_cflag & CRTSCTS, 0u);

  state.c_cflag &= ~CRTSCTS;  // someone else turned it off
  TermiosToDcb(state, dcb);
  EXPECT_EQ(dcb.fRtsControl, RTS_CONTROL_ENABLE);
  EXPECT_EQ(dcb.fOutxCtsFlow, 0u);
  state.c_cflag |= CRTSCTS;  // and on again
  TermiosToDcb(state, dcb);
  EXPECT_EQ(dcb.fOutxCtsFlow, 1u);
}

}  // namespace
