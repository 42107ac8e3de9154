#include "serial_line.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>

namespace prv1sim {

double BitsPerChar(const LineSettings &line) {
  return 1 + line.data_bits + (line.parity == Parity::kNone ? 0 : 1) +
         line.stop_bits;
}

bool MakeTermios(const LineSettings &line, termios &state, std::string &error) {
  cfmakeraw(&state);
  // glibc takes the rate as a number as well as a B constant, so a number
  // that equals a constant would set that constant's rate instead.
  bool ambiguous =
      line.baud <= B38400 || (line.baud >= B57600 && line.baud <= B4000000);
  if (ambiguous || cfsetspeed(&state, line.baud) != 0) {
    error = "baud rate " + std::to_string(line.baud) +
            " is not supported on a serial device";
    return false;
  }
  state.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
  state.c_cflag |= CLOCAL | CREAD;
  static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
  state.c_cflag |= kSizes[line.data_bits - 5];
  switch (line.parity) {
    case Parity::kNone:
      break;
    case Parity::kOdd:
      state.c_cflag |= PARENB | PARODD;
      break;
    case Parity::kEven:
      state.c_cflag |= PARENB;
      break;
    case Parity::kMark:
      state.c_cflag |= PARENB | CMSPAR | PARODD;
      break;
    case Parity::kSpace:
      state.c_cflag |= PARENB | CMSPAR;
      break;
  }
  if (line.stop_bits > 1) state.c_cflag |= CSTOPB;
  state.c_cc[VMIN] = 1;
  state.c_cc[VTIME] = 0;
  return true;
}

int OpenDevice(const std::string &path, const LineSettings &line,
               std::string &error) {
  int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    error = "cannot open " + path + ": " + std::strerror(errno);
    return -1;
  }
  termios state{};
  if (tcgetattr(fd, &state) != 0) {
    error =
        "cannot read the line state of " + path + ": " + std::strerror(errno);
    close(fd);
    return -1;
  }
  if (!MakeTermios(line, state, error)) {
    close(fd);
    return -1;
  }
  if (tcsetattr(fd, TCSANOW, &state) != 0) {
    error =
        "cannot set the line state of " + path + ": " + std::strerror(errno);
    close(fd);
    return -1;
  }
  return fd;
}

Pacer::Pacer(unsigned baud, double bits_per_char)
    : bit_nanos_times_baud_(std::llround(bits_per_char * 1e9)), baud_(baud) {}

Pacer::Clock::time_point Pacer::Next() const {
  return origin_ +
         std::chrono::nanoseconds(count_ * bit_nanos_times_baud_ / baud_);
}

std::size_t Pacer::Take(Clock::time_point now, std::size_t pending) {
  if (pending == 0) {
    idle_ = true;
    return 0;
  }
  if (idle_ && Next() <= now) {
    // The line has been quiet: the next character may start right away.
    origin_ = now;
    count_ = 0;
  }
  idle_ = false;
  std::size_t taken = 0;
  while (taken < pending && Next() <= now) {
    ++taken;
    if (++count_ == baud_) {
      // A whole number of nanoseconds: move the origin on, exactly, so the
      // product above never grows large.
      origin_ += std::chrono::nanoseconds(bit_nanos_times_baud_);
      count_ = 0;
    }
  }
  return taken;
}

}  // namespace prv1sim
