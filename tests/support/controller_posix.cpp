// The controller on Linux: the master side of a new pseudo-terminal.
#include <poll.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

#include "controller.h"

namespace ulo::testing {

Controller::Controller() {
  std::string error;
  if (!tools::OpenPty(pty_, error) || pipe(stop_pipe_) != 0)
    throw std::runtime_error("controller: " + error);
  path_ = pty_.path;
  reader_ = std::thread([this] { ReadLoop(); });
}

Controller::~Controller() {
  char byte = 0;
  if (write(stop_pipe_[1], &byte, 1) != 1) std::abort();
  reader_.join();
  tools::ClosePty(pty_);
  close(stop_pipe_[0]);
  close(stop_pipe_[1]);
}

void Controller::WriteLocked(std::string_view bytes) {
  if (pty_.master < 0) return;
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(pty_.master, bytes.data() + done, bytes.size() - done);
    if (n <= 0) return;
    done += size_t(n);
  }
}

void Controller::Vanish() {
  std::lock_guard lock(mutex_);
  tools::ClosePty(pty_);
}

void Controller::ReadLoop() {
  for (;;) {
    int master;
    {
      std::lock_guard lock(mutex_);
      master = pty_.master;
    }
    pollfd fds[2] = {{stop_pipe_[0], POLLIN, 0}, {master, POLLIN, 0}};
    if (poll(fds, master >= 0 ? 2 : 1, 20) < 0) continue;
    if (fds[0].revents) return;
    if (master < 0 || !(fds[1].revents & POLLIN)) continue;
    char buffer[256];
    ssize_t n = read(master, buffer, sizeof buffer);
    if (n > 0) Receive(buffer, size_t(n));
  }
}

}  // namespace ulo::testing
