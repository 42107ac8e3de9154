#include "fake_line.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/syscalls.h"
#include "serial/serial_port.h"
#include "ulopr1/zempro.h"

namespace ulo::fuzzing {
namespace {

constexpr size_t kWrittenLimit = size_t{1} << 20;

struct Line {
  int fd = -1;  // a real descriptor (of /dev/null) standing for the device
  const uint8_t *data = nullptr;
  size_t size = 0;
  size_t total = 0;  // bytes served before the line hangs up
  size_t next = 0;
  std::string written;
  termios state{};
};

Line line;

size_t Left() { return line.total - line.next; }

bool IsLine(int fd) { return fd >= 0 && fd == line.fd; }

int Open(const char *path, int flags, mode_t mode) {
  if (std::strcmp(path, kLinePath) != 0)
    return sys::Real().open(path, flags, mode);
  line.fd = sys::Real().open("/dev/null", O_RDWR | O_CLOEXEC, 0);
  return line.fd;
}

int Close(int fd) {
  if (IsLine(fd)) line.fd = -1;
  return sys::Real().close(fd);
}

// An empty line has hung up: the reader fails at once rather than waiting.
ssize_t Read(int fd, void *buffer, size_t count) {
  if (!IsLine(fd)) return sys::Real().read(fd, buffer, count);
  size_t n = std::min(count, Left());
  for (size_t i = 0; i < n; ++i, ++line.next)
    static_cast<uint8_t *>(buffer)[i] = line.data[line.next % line.size];
  return static_cast<ssize_t>(n);
}

ssize_t Write(int fd, const void *buffer, size_t count) {
  if (!IsLine(fd)) return sys::Real().write(fd, buffer, count);
  size_t room = kWrittenLimit - line.written.size();
  line.written.append(static_cast<const char *>(buffer), std::min(count, room));
  return static_cast<ssize_t>(count);
}

int Poll(pollfd *fds, nfds_t count, int timeout_ms) {
  bool ours = false;
  for (nfds_t i = 0; i < count; ++i) ours = ours || IsLine(fds[i].fd);
  if (!ours) return sys::Real().poll(fds, count, timeout_ms);
  int ready = 0;
  for (nfds_t i = 0; i < count; ++i) {
    fds[i].revents = 0;
    if (IsLine(fds[i].fd)) {
      fds[i].revents = static_cast<short>((fds[i].events & POLLOUT) |
                                          (Left() > 0 ? POLLIN : POLLHUP));
    }
    if (fds[i].revents) ++ready;
  }
  return ready;
}

int Tcgetattr(int fd, termios *state) {
  if (!IsLine(fd)) return sys::Real().tcgetattr(fd, state);
  *state = line.state;
  return 0;
}

int Tcsetattr(int fd, int action, const termios *state) {
  if (!IsLine(fd)) return sys::Real().tcsetattr(fd, action, state);
  line.state = *state;
  return 0;
}

int Ioctl(int fd, unsigned long request, void *arg) {
  if (!IsLine(fd)) return sys::Real().ioctl(fd, request, arg);
  if (request == FIONREAD) *static_cast<int *>(arg) = static_cast<int>(Left());
  if (request == TIOCOUTQ) *static_cast<int *>(arg) = 0;
  return 0;  // exclusive mode, modem lines, exact speeds: accepted
}

int Flock(int fd, int operation) {
  return IsLine(fd) ? 0 : sys::Real().flock(fd, operation);
}

int Nanosleep(const timespec *, timespec *) { return 0; }

const sys::Table kFakeLine = {
    .open = Open,
    .close = Close,
    .read = Read,
    .write = Write,
    .poll = Poll,
    .tcgetattr = Tcgetattr,
    .tcsetattr = Tcsetattr,
    .ioctl = Ioctl,
    .flock = Flock,
    .eventfd = sys::Real().eventfd,
    .pthread_create = sys::Real().pthread_create,
    .nanosleep = Nanosleep,
    .lstat = sys::Real().lstat,
    .fstat = sys::Real().fstat,
    .readlink = sys::Real().readlink,
    .socket = sys::Real().socket,
    .connect = sys::Real().connect,
    .setsockopt = sys::Real().setsockopt,
    .getsockopt = sys::Real().getsockopt,
    .send = sys::Real().send,
    .getaddrinfo = sys::Real().getaddrinfo,
};

}  // namespace

void InstallFakeLine() {
  cfmakeraw(&line.state);
  cfsetspeed(&line.state, B9600);
  // The line is named by path: no port folder may shadow it.
  unsetenv("ULO_PORT_DIR");
  sys::Install(kFakeLine);
}

void FeedLine(const uint8_t *data, size_t size, size_t total) {
  line.data = data;
  line.size = size;
  line.total = size == 0 ? 0 : std::max(size, total);
  line.next = 0;
  line.written.clear();
}

const std::string &LineWritten() { return line.written; }

size_t LineRead() { return line.next; }

uint32_t OpenLine() {
  uint32_t handle = 0;
  return OpenPort(kLinePath, LineSettings{9600, 8, 0, 0}, 8, &handle) == kPortOk
             ? handle
             : 0;
}

void StartOnLine(InstanceWorkspace &ws) {
  static uint8_t client[5] = {};
  if (client[0] == 0)
    Require(Zem5MkClient("PR1_No_07", 1, 0, client) == 0, "a host client");
  ws = InstanceWorkspace{};
  ws.port = OpenLine();
  Require(ws.port != 0, "the line opens");
  ws.instance = kInstance;
  std::memcpy(ws.client, client, sizeof ws.client);
}

void Require(bool holds, const char *what) {
  if (holds) return;
  std::fprintf(stderr, "expectation failed: %s\n", what);
  std::abort();
}

}  // namespace ulo::fuzzing
