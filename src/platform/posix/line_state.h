// The line state of a DCB as termios sees it, both ways, without a device.
#ifndef ULOPR1_PLATFORM_POSIX_LINE_STATE_H
#define ULOPR1_PLATFORM_POSIX_LINE_STATE_H

#include <termios.h>

#include "os.h"

namespace ulo::os {

// The termios constant of a baud rate; B0 for a rate that has none (a
// non-standard rate, set through the kernel's arbitrary-rate interface).
speed_t SpeedOf(DWORD baud);
// The baud rate of a termios constant; 0 when it is not one.
DWORD BaudOf(speed_t speed);

// Puts state into raw mode (no echo, no line editing, no signals, no input or
// output processing, receiver on, modem status ignored, a read that wakes for
// the first byte) with the DCB's speed when it has a constant, data bits,
// parity, stop bits, hardware handshake and XON/XOFF. Received bytes pass
// unchanged whatever the parity: line errors are not reported. Returns false,
// leaving state untouched, when the DCB asks for what a line cannot do (data
// bits outside 5 to 8, an unknown parity or stop-bits code, rate 0).
bool DcbToTermios(const DCB &dcb, termios &state);

// Overwrites the DCB members termios defines (speed when it has a constant,
// data bits, parity, stop bits, handshake, XON/XOFF) with what state holds;
// the others stay. One and a half stop bits, which termios stores as two,
// stay one and a half.
void TermiosToDcb(const termios &state, DCB &dcb);

}  // namespace ulo::os

#endif  // ULOPR1_PLATFORM_POSIX_LINE_STATE_H
