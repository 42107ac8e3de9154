// Tells a supervising service manager how the host is doing (systemd's
// Type=notify and WatchdogSec=): one datagram per state change, sent to the
// socket the manager names in NOTIFY_SOCKET. Without that variable, and on
// Windows, nothing is sent.
#ifndef ULOPR1_TOOLS_ULOHOST_NOTIFY_H
#define ULOPR1_TOOLS_ULOHOST_NOTIFY_H

#include <chrono>
#include <functional>
#include <optional>
#include <string>

namespace ulohost {

// Sends state (lines such as "READY=1") as one datagram to the AF_UNIX
// socket at address: a path, or an abstract name written with a leading
// '@'. False with error set when it cannot.
bool SendServiceState(const std::string &address, const std::string &state,
                      std::string &error);

class ServiceNotifier {
 public:
  using Steady = std::chrono::steady_clock;

  // Takes NOTIFY_SOCKET, WATCHDOG_USEC and WATCHDOG_PID from the
  // environment. report is told of the first datagram that cannot be sent.
  explicit ServiceNotifier(std::function<void(const std::string &)> report);

  // Every instance has started.
  void Ready();
  // The clean stop has begun.
  void Stopping();
  // The watchdog interval the manager asked for, if any (WATCHDOG_USEC,
  // when WATCHDOG_PID is unset or names this process).
  std::optional<Steady::duration> watchdog() const { return watchdog_; }
  // Sends WATCHDOG=1 once half the interval has passed since the last one,
  // if alive(interval) says the host is sound; call it a few times a second.
  void FeedWatchdog(const std::function<bool(Steady::duration)> &alive);

 private:
  void Send(const std::string &state);

  std::function<void(const std::string &)> report_;
  std::string socket_;
  std::optional<Steady::duration> watchdog_;
  Steady::time_point last_feed_{};
  bool failed_ = false;
};

}  // namespace ulohost

#endif  // ULOPR1_TOOLS_ULOHOST_NOTIFY_H
