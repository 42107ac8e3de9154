// Serial lines behind a network device server: a port-folder entry that
// names "tcp://HOST:PORT" or "rfc2217://HOST:PORT" (as its link target or as
// the one line of a regular file) is a TCP connection: raw, bytes as they
// are and the line settings the server's, or telnet with the COM-port-control
// option, which sets the server's line.
#ifndef ULOPR1_PLATFORM_POSIX_NETWORK_PORT_H
#define ULOPR1_PLATFORM_POSIX_NETWORK_PORT_H

#include <cstddef>

namespace ulo::os {

constexpr size_t kHostSize = 256;
constexpr size_t kServiceSize = 6;  // up to 65535 and its terminator
// "HOST:PORT": the key that keeps a network port to one open per process.
constexpr size_t kPeerSize = kHostSize + kServiceSize + 1;

struct NetworkAddress {
  char host[kHostSize];  // a name or a numeric address, IPv6 without brackets
  char service[kServiceSize];
  char peer[kPeerSize];
  bool telnet;  // rfc2217://
};

enum class EntryKind { kDevice, kNetwork, kUnusable };

// What the port-folder entry at path leads to: a device (or a file that is
// no address), a network port (address filled in), or nothing usable (an
// entry that starts like a network port but whose address is malformed, or
// that cannot be read).
EntryKind ReadPortEntry(const char *path, NetworkAddress &address);

// Connects to address within timeout_ms over every address the name has:
// a non-blocking, close-on-exec stream socket without send delay and with
// short keep-alive times, or -1.
int ConnectNetwork(const NetworkAddress &address, int timeout_ms);

}  // namespace ulo::os

#endif  // ULOPR1_PLATFORM_POSIX_NETWORK_PORT_H
