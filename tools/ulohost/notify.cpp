#include "notify.h"

#include <cstdlib>
#include <string_view>

#include "system.h"

namespace ulohost {
namespace {

std::string Environment(const char *name) {
  const char *value = std::getenv(name);
  return value ? value : "";
}

// WATCHDOG_USEC as a duration; nothing when unset, malformed or zero.
std::optional<ServiceNotifier::Steady::duration> WatchdogInterval() {
  std::string usec = Environment("WATCHDOG_USEC");
  if (usec.empty() || usec.find_first_not_of("0123456789") != usec.npos) {
    return std::nullopt;
  }
  unsigned long long value = std::strtoull(usec.c_str(), nullptr, 10);
  if (value == 0) return std::nullopt;
  std::string pid = Environment("WATCHDOG_PID");
  if (!pid.empty() && pid != std::to_string(sys::ProcessId())) {
    return std::nullopt;  // meant for another process
  }
  return std::chrono::duration_cast<ServiceNotifier::Steady::duration>(
      std::chrono::microseconds(value));
}

}  // namespace

ServiceNotifier::ServiceNotifier(
    std::function<void(const std::string &)> report)
    : report_(std::move(report)), socket_(Environment("NOTIFY_SOCKET")) {
  if (!socket_.empty()) watchdog_ = WatchdogInterval();
}

void ServiceNotifier::Ready() {
  Send("READY=1");
  last_feed_ = Steady::now();
}

void ServiceNotifier::Stopping() { Send("STOPPING=1"); }

void ServiceNotifier::FeedWatchdog(
    const std::function<bool(Steady::duration)> &alive) {
  if (!watchdog_ || Steady::now() - last_feed_ < *watchdog_ / 2) return;
  if (!alive(*watchdog_)) return;
  Send("WATCHDOG=1");
  last_feed_ = Steady::now();
}

void ServiceNotifier::Send(const std::string &state) {
  if (socket_.empty()) return;
  std::string error;
  if (SendServiceState(socket_, state, error) || failed_) return;
  failed_ = true;
  report_("cannot tell the service manager " + state + " at " + socket_ + ": " +
          error);
}

#ifdef _WIN32
// No service manager listens on NOTIFY_SOCKET there.
bool SendServiceState(const std::string &, const std::string &,
                      std::string &error) {
  error = "not supported on Windows";
  return false;
}
#endif

}  // namespace ulohost
