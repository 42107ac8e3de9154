// The service manager's end of the notification socket, for tests: an
// AF_UNIX datagram socket bound to a path or to an abstract name ('@...').
#ifndef ULOPR1_TOOLS_ULOHOST_TESTING_DATAGRAM_RECEIVER_H
#define ULOPR1_TOOLS_ULOHOST_TESTING_DATAGRAM_RECEIVER_H

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstring>
#include <optional>
#include <string>

namespace ulohost {

class DatagramReceiver {
 public:
  explicit DatagramReceiver(const std::string &address) : address_(address) {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un name{};
    name.sun_family = AF_UNIX;
    std::memcpy(name.sun_path, address.data(), address.size());
    bool abstract = address[0] == '@';
    if (abstract) name.sun_path[0] = '\0';
    socklen_t length = static_cast<socklen_t>(
        offsetof(sockaddr_un, sun_path) + address.size() + (abstract ? 0 : 1));
    bound_ =
        fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr *>(&name), length) == 0;
  }
  ~DatagramReceiver() {
    if (fd_ >= 0) close(fd_);
    if (bound_ && address_[0] == '/') unlink(address_.c_str());
  }
  DatagramReceiver(const DatagramReceiver &) = delete;
  DatagramReceiver &operator=(const DatagramReceiver &) = delete;

  bool bound() const { return bound_; }

  // The next datagram, or nothing within timeout.
  std::optional<std::string> Receive(std::chrono::milliseconds timeout) {
    pollfd ready{fd_, POLLIN, 0};
    if (poll(&ready, 1, static_cast<int>(timeout.count())) != 1) return {};
    char buffer[4096];
    ssize_t got = recv(fd_, buffer, sizeof buffer, 0);
    if (got < 0) return {};
    return std::string(buffer, static_cast<std::size_t>(got));
  }

 private:
  std::string address_;
  int fd_ = -1;
  bool bound_ = false;
};

}  // namespace ulohost

#endif  // ULOPR1_TOOLS_ULOHOST_TESTING_DATAGRAM_RECEIVER_H
