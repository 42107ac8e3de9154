#include "network_port.h"

#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>

#include <cstdio>
#include <cstring>

#include "deadline.h"
#include "platform/syscalls.h"

namespace ulo::os {
namespace {

constexpr char kTcpScheme[] = "tcp://";
constexpr char kTelnetScheme[] = "rfc2217://";
// Enough for the longest address an entry can hold, and one byte to tell a
// longer one.
constexpr size_t kEntrySize = sizeof kTelnetScheme + kPeerSize + 2;

// The address after scheme at the start of text; null without it.
const char *After(const char *text, const char *scheme) {
  size_t length = std::strlen(scheme);
  return std::strncmp(text, scheme, length) == 0 ? text + length : nullptr;
}

// A dead server on a quiet line is found within about 10 s: probes after 5 s
// of silence, every 2 s, 3 unanswered. Data unacknowledged as long fails too.
constexpr int kKeepIdleS = 5;
constexpr int kKeepIntervalS = 2;
constexpr int kKeepCount = 3;
constexpr unsigned kUnacknowledgedMs = 11000;

// Reads the entry's link target or its first line (without the line end)
// into text: kNetwork when there is one that fits, kDevice for an entry of
// another kind or a longer text, kUnusable when the entry cannot be read.
EntryKind EntryText(const char *path, char *text, size_t size) {
  const sys::Table &sys = sys::Current();
  struct stat info;
  if (sys.lstat(path, &info) != 0) return EntryKind::kUnusable;
  ssize_t length = 0;
  if (S_ISLNK(info.st_mode)) {
    length = sys.readlink(path, text, size);
  } else if (S_ISREG(info.st_mode)) {
    int fd = sys.open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK, 0);
    if (fd < 0) return EntryKind::kUnusable;
    length = sys.read(fd, text, size);
    sys.close(fd);
    if (length > 0 && text[length - 1] == '\n') --length;
    if (length > 0 && text[length - 1] == '\r') --length;
  } else {
    return EntryKind::kDevice;
  }
  if (length < 0) return EntryKind::kUnusable;
  if (static_cast<size_t>(length) >= size) return EntryKind::kDevice;
  text[length] = '\0';
  return EntryKind::kNetwork;
}

// "HOST:PORT", HOST a name, a dotted address or a bracketed IPv6 address,
// PORT 1 to 65535.
bool ParseAddress(const char *text, NetworkAddress &address) {
  const char *host = text;
  const char *host_end;
  const char *colon;
  if (*text == '[') {
    host = text + 1;
    host_end = std::strchr(host, ']');
    if (!host_end || host_end[1] != ':') return false;
    colon = host_end + 1;
  } else {
    colon = std::strchr(text, ':');
    if (!colon || std::strchr(colon + 1, ':')) return false;
    host_end = colon;
  }
  size_t host_length = static_cast<size_t>(host_end - host);
  if (host_length == 0 || host_length >= kHostSize ||
      std::memchr(host, '/', host_length)) {
    return false;
  }
  const char *digits = colon + 1;
  unsigned port = 0;
  size_t count = 0;
  for (; digits[count]; ++count) {
    if (digits[count] < '0' || digits[count] > '9' || count == 5) return false;
    port = port * 10 + static_cast<unsigned>(digits[count] - '0');
  }
  if (count == 0 || port == 0 || port > 65535 || digits[0] == '0') return false;
  std::memcpy(address.host, host, host_length);
  address.host[host_length] = '\0';
  std::snprintf(address.service, sizeof address.service, "%u", port);
  std::snprintf(address.peer, sizeof address.peer, "%s:%u", address.host, port);
  return true;
}

template <typename Value>
bool SetOption(int fd, int level, int name, Value value) {
  return sys::Current().setsockopt(fd, level, name, &value, sizeof value) == 0;
}

bool TuneSocket(int fd) {
  return SetOption(fd, IPPROTO_TCP, TCP_NODELAY, 1) &&
         SetOption(fd, SOL_SOCKET, SO_KEEPALIVE, 1) &&
         SetOption(fd, IPPROTO_TCP, TCP_KEEPIDLE, kKeepIdleS) &&
         SetOption(fd, IPPROTO_TCP, TCP_KEEPINTVL, kKeepIntervalS) &&
         SetOption(fd, IPPROTO_TCP, TCP_KEEPCNT, kKeepCount) &&
         SetOption(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, kUnacknowledgedMs);
}

// Waits for a non-blocking connect to finish; true once it has succeeded.
bool ConnectionMade(int fd, int64_t deadline) {
  const sys::Table &sys = sys::Current();
  for (;;) {
    pollfd line = {fd, POLLOUT, 0};
    int ready = sys.poll(&line, 1, Remaining(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    int error = 0;
    socklen_t length = sizeof error;
    return sys.getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 &&
           error == 0;
  }
}

int ConnectTo(const addrinfo &candidate, int64_t deadline) {
  const sys::Table &sys = sys::Current();
  int fd = sys.socket(candidate.ai_family,
                      candidate.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                      candidate.ai_protocol);
  if (fd < 0) return -1;
  bool made = sys.connect(fd, candidate.ai_addr, candidate.ai_addrlen) == 0 ||
              (errno == EINPROGRESS && ConnectionMade(fd, deadline));
  if (made && TuneSocket(fd)) return fd;
  sys.close(fd);
  return -1;
}

}  // namespace

EntryKind ReadPortEntry(const char *path, NetworkAddress &address) {
  char text[kEntrySize];
  EntryKind kind = EntryText(path, text, sizeof text);
  if (kind != EntryKind::kNetwork) return kind;
  const char *raw = After(text, kTcpScheme);
  const char *telnet = After(text, kTelnetScheme);
  if (!raw && !telnet) return EntryKind::kDevice;
  address.telnet = telnet != nullptr;
  return ParseAddress(raw ? raw : telnet, address) ? EntryKind::kNetwork
                                                   : EntryKind::kUnusable;
}

int ConnectNetwork(const NetworkAddress &address, int timeout_ms) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo *found = nullptr;
  if (sys::Current().getaddrinfo(address.host, address.service, &hints,
                                 &found) != 0) {
    return -1;
  }
  int64_t deadline = DeadlineAfter(static_cast<uint32_t>(timeout_ms));
  int fd = -1;
  for (addrinfo *candidate = found; candidate && fd < 0;
       candidate = candidate->ai_next) {
    fd = ConnectTo(*candidate, deadline);
  }
  freeaddrinfo(found);
  return fd;
}

}  // namespace ulo::os
