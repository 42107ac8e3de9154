// The serial line's settings: their mapping onto termios for a real device,
// and the pace at which characters travel at a given baud rate.
#ifndef ULOPR1_TOOLS_PRV1SIM_SERIAL_LINE_H
#define ULOPR1_TOOLS_PRV1SIM_SERIAL_LINE_H

#include <termios.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace prv1sim {

enum class Parity { kNone, kOdd, kEven, kMark, kSpace };

struct LineSettings {
  unsigned baud = 9600;
  unsigned data_bits = 8;  // 5..8
  Parity parity = Parity::kNone;
  // 1, 1.5 or 2. A termios has no 1.5 stop bits: like the driver's
  // platform layer, a device then gets two (CSTOPB); the pace of a
  // pseudo-terminal keeps the half bit.
  double stop_bits = 1;
};

// Bits on the wire per character: start bit, data bits, parity bit if any,
// stop bits.
double BitsPerChar(const LineSettings &line);

// Sets raw mode and the line settings on a termios record. Returns false and
// sets error when the baud rate has no termios speed.
bool MakeTermios(const LineSettings &line, termios &state, std::string &error);

// Opens a serial device read/write, non-blocking, with the line settings.
// Returns the descriptor, or -1 with error set.
int OpenDevice(const std::string &path, const LineSettings &line,
               std::string &error);

// Hands out send slots one character time apart on an absolute schedule:
// character k of a burst may start at burst start + k * character time, so
// late wake-ups do not add up. A burst starts afresh after the line was idle.
class Pacer {
 public:
  using Clock = std::chrono::steady_clock;

  Pacer(unsigned baud, double bits_per_char);

  // How many of `pending` characters may go out at `now` (they count as
  // sent). Call with pending 0 when there is nothing to send, to mark the
  // line idle.
  std::size_t Take(Clock::time_point now, std::size_t pending);

  // When the next character may start.
  Clock::time_point Next() const;

 private:
  std::int64_t bit_nanos_times_baud_;  // bits per char * 1e9
  unsigned baud_;
  Clock::time_point origin_{};
  std::int64_t count_ = 0;  // characters sent since origin_
  bool idle_ = true;
};

}  // namespace prv1sim

#endif  // ULOPR1_TOOLS_PRV1SIM_SERIAL_LINE_H
