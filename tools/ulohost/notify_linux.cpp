// The notification datagram over an AF_UNIX socket (Linux).
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

#include "notify.h"

namespace ulohost {

bool SendServiceState(const std::string &address, const std::string &state,
                      std::string &error) {
  sockaddr_un peer{};
  peer.sun_family = AF_UNIX;
  if (address.size() < 2 || address.size() > sizeof peer.sun_path ||
      (address[0] != '/' && address[0] != '@')) {
    error = "not a socket path or abstract name";
    return false;
  }
  std::memcpy(peer.sun_path, address.data(), address.size());
  if (address[0] == '@') peer.sun_path[0] = '\0';  // an abstract name
  // An abstract name is exactly its bytes; a path ends with its NUL.
  socklen_t length = static_cast<socklen_t>(
      offsetof(sockaddr_un, sun_path) + address.size() +
      (address[0] == '/' && address.size() < sizeof peer.sun_path ? 1 : 0));
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = std::strerror(errno);
    return false;
  }
  ssize_t sent = sendto(fd, state.data(), state.size(), MSG_NOSIGNAL,
                        reinterpret_cast<const sockaddr *>(&peer), length);
  int sent_errno = errno;
  close(fd);
  if (sent != static_cast<ssize_t>(state.size())) {
    error = sent < 0 ? std::strerror(sent_errno) : "datagram cut short";
    return false;
  }
  return true;
}

}  // namespace ulohost
