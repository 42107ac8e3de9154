// Pseudo-terminal pairs for the simulator, the demo and the tests: the
// controller's side is the master, the driver opens the slave by path.
#ifndef ULOPR1_TOOLS_COMMON_PTY_H
#define ULOPR1_TOOLS_COMMON_PTY_H

#include <string>

namespace ulo::tools {

struct Pty {
  int master = -1;   // controller side, raw mode, close-on-exec
  int keeper = -1;   // our own open of the slave, so the master never reads
                     // EIO while the driver has the port closed
  std::string path;  // the slave device, e.g. /dev/pts/7
};

// Opens a new pair, both sides in raw mode.
// Returns false and sets error (with errno's text) on failure.
bool OpenPty(Pty &pty, std::string &error);

// Closes both of our ends (the line vanishes for whoever holds the slave).
void ClosePty(Pty &pty);

}  // namespace ulo::tools

#endif  // ULOPR1_TOOLS_COMMON_PTY_H
