#include "pty.h"

#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace ulo::tools {

bool OpenPty(Pty &pty, std::string &error) {
  int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
    error = std::string("cannot create a pseudo-terminal: ") + strerror(errno);
    if (master >= 0) close(master);
    return false;
  }
  char name[128];
  if (ptsname_r(master, name, sizeof name) != 0) {
    error = std::string("cannot name the pseudo-terminal: ") + strerror(errno);
    close(master);
    return false;
  }
  int keeper = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (keeper < 0) {
    error = std::string("cannot open ") + name + ": " + strerror(errno);
    close(master);
    return false;
  }
  for (int fd : {master, keeper}) {
    termios state{};
    if (tcgetattr(fd, &state) == 0) {
      cfmakeraw(&state);
      tcsetattr(fd, TCSANOW, &state);
    }
  }
  pty.master = master;
  pty.keeper = keeper;
  pty.path = name;
  return true;
}

void ClosePty(Pty &pty) {
  if (pty.keeper >= 0) close(pty.keeper);
  if (pty.master >= 0) close(pty.master);
  pty.keeper = pty.master = -1;
}

}  // namespace ulo::tools
