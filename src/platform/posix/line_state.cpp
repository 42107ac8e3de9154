#include "line_state.h"

#include <iterator>

namespace ulo::os {
namespace {

struct Rate {
  DWORD baud;
  speed_t speed;
};

constexpr Rate kRates[] = {
    {50, B50},           {75, B75},           {110, B110},
    {134, B134},         {150, B150},         {200, B200},
    {300, B300},         {600, B600},         {1200, B1200},
    {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},
    {57600, B57600},     {115200, B115200},   {230400, B230400},
    {460800, B460800},   {500000, B500000},   {576000, B576000},
    {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000},
    {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
};

constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};

}  // namespace

speed_t SpeedOf(DWORD baud) {
  for (const Rate &rate : kRates) {
    if (rate.baud == baud) return rate.speed;
  }
  return B0;
}

DWORD BaudOf(speed_t speed) {
  for (const Rate &rate : kRates) {
    if (rate.speed == speed) return rate.baud;
  }
  return 0;
}

bool DcbToTermios(const DCB &dcb, termios &state) {
  if (dcb.ByteSize < 5 || dcb.ByteSize > 8 || dcb.Parity > SPACEPARITY ||
      dcb.StopBits > TWOSTOPBITS || dcb.BaudRate == 0) {
    return false;
  }
  cfmakeraw(&state);
  state.c_iflag &= ~(INPCK | IGNPAR | IXON | IXOFF | IXANY | IMAXBEL);
  state.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
  state.c_cflag |= CREAD | CLOCAL | kSizes[dcb.ByteSize - 5];
  switch (dcb.Parity) {
    case ODDPARITY:
      state.c_cflag |= PARENB | PARODD;
      break;
    case EVENPARITY:
      state.c_cflag |= PARENB;
      break;
    case MARKPARITY:  // stick parity: the bit PARODD would make is 1
      state.c_cflag |= PARENB | CMSPAR | PARODD;
      break;
    case SPACEPARITY:
      state.c_cflag |= PARENB | CMSPAR;
      break;
    default:
      break;
  }
  if (dcb.StopBits != ONESTOPBIT) state.c_cflag |= CSTOPB;
  if (dcb.fOutxCtsFlow || dcb.fRtsControl == RTS_CONTROL_HANDSHAKE) {
    state.c_cflag |= CRTSCTS;
  }
  if (dcb.fOutX) state.c_iflag |= IXON;
  if (dcb.fInX) state.c_iflag |= IXOFF;
  state.c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
  state.c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);
  state.c_cc[VMIN] = 1;
  state.c_cc[VTIME] = 0;
  speed_t speed = SpeedOf(dcb.BaudRate);
  if (speed != B0) {
    cfsetispeed(&state, speed);
    cfsetospeed(&state, speed);
  }
  return true;
}

void TermiosToDcb(const termios &state, DCB &dcb) {
  tcflag_t flags = state.c_cflag;
  if (DWORD baud = BaudOf(cfgetospeed(&state))) dcb.BaudRate = baud;
  for (size_t i = 0; i < std::size(kSizes); ++i) {
    if ((flags & CSIZE) == kSizes[i]) dcb.ByteSize = static_cast<BYTE>(5 + i);
  }
  if (!(flags & PARENB)) {
    dcb.Parity = NOPARITY;
  } else if (flags & CMSPAR) {
    dcb.Parity = (flags & PARODD) ? MARKPARITY : SPACEPARITY;
  } else {
    dcb.Parity = (flags & PARODD) ? ODDPARITY : EVENPARITY;
  }
  if (!(flags & CSTOPB)) {
    dcb.StopBits = ONESTOPBIT;
  } else if (dcb.StopBits != ONE5STOPBITS) {
    dcb.StopBits = TWOSTOPBITS;
  }
  // Both CTS output flow and RTS handshake mean CRTSCTS; keep whichever the
  // DCB names while the terminal agrees with it.
  bool hardware = (flags & CRTSCTS) != 0;
  bool named = dcb.fOutxCtsFlow || dcb.fRtsControl == RTS_CONTROL_HANDSHAKE;
  if (hardware != named) {
    dcb.fOutxCtsFlow = hardware;
    if (!hardware) dcb.fRtsControl = RTS_CONTROL_ENABLE;
  }
  dcb.fOutX = (state.c_iflag & IXON) != 0;
  dcb.fInX = (state.c_iflag & IXOFF) != 0;
  dcb.XonChar = static_cast<char>(state.c_cc[VSTART]);
  dcb.XoffChar = static_cast<char>(state.c_cc[VSTOP]);
}

}  // namespace ulo::os
