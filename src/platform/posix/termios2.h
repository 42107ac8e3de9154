// The kernel's termios with explicit speeds, for rates without a B constant.
// <asm/termbits.h> declares it but cannot be included beside <termios.h>.
#ifndef ULOPR1_PLATFORM_POSIX_TERMIOS2_H
#define ULOPR1_PLATFORM_POSIX_TERMIOS2_H

#include <termios.h>

struct termios2 {
  tcflag_t c_iflag;
  tcflag_t c_oflag;
  tcflag_t c_cflag;
  tcflag_t c_lflag;
  cc_t c_line;
  cc_t c_cc[19];
  speed_t c_ispeed;
  speed_t c_ospeed;
};

#include <sys/ioctl.h>  // TCGETS2 and TCSETS2 name struct termios2

namespace ulo::os {
constexpr tcflag_t kArbitraryRate = CBAUDEX;  // the kernel's BOTHER
}  // namespace ulo::os

#endif  // ULOPR1_PLATFORM_POSIX_TERMIOS2_H
