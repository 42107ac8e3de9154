// The host log: the driver's messages and the host's own events in one
// stream, with the instance on every line it applies to and runs of the
// same message collapsed before they reach the outputs.
#ifndef ULOPR1_TOOLS_ULOHOST_HOST_LOG_H
#define ULOPR1_TOOLS_ULOHOST_HOST_LOG_H

#include <chrono>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "events.h"
#include "zempro/control.h"

namespace ulohost {

// Marks the calling thread as working for instance ulo: the driver's
// messages logged on it carry that instance.
void SetThreadInstance(int ulo);

// Takes the runtime's log records (on whichever thread logs) and emits
// them as LogEvents. A message repeating the one before it is counted, not
// emitted; the count follows as "repeated N times: TEXT" when a different
// message comes, and at least every kRepeatFlush while the run lasts, so a
// receiver saying the same thing every millisecond costs one line every few
// seconds.
class HostLog {
 public:
  static constexpr std::chrono::seconds kRepeatFlush{5};

  HostLog(EventSink &sink, bool traces) : sink_(sink), traces_(traces) {}

  void Add(const zempro::LogRecord &record);
  // Emits a count that has waited kRepeatFlush by now (the main loop calls
  // this a few times a second), or with all true any count at all.
  void Flush(Clock::time_point now, bool all = false);
  // The last lines emitted, for the log command.
  std::vector<std::string> Last(int count) const;

 private:
  void EmitRepeatsLocked();
  void EmitLocked(const LogEvent &event);

  EventSink &sink_;
  bool traces_;
  mutable std::mutex mutex_;
  std::optional<LogEvent> last_;  // the message repeats are compared to
  uint64_t repeats_ = 0;
  Clock::time_point repeats_since_;
  Clock::time_point repeat_time_;  // the latest repeat
  std::deque<std::string> tail_;
};

// The log's line for an event without its time ("ulo 1 write $SP1 = 2:
// confirmed (0.2 s)"), or nothing for what the log leaves out: gate values
// (the data, not the log), text and values a command asked for, and
// scheduled reads that went well.
std::optional<std::string> LogLine(const Event &event);
// The syslog priority of an event's line: 3 an error, 4 a warning, 5 a
// notice, 6 information, 7 traffic.
int LogPriority(const Event &event);

}  // namespace ulohost

#endif  // ULOPR1_TOOLS_ULOHOST_HOST_LOG_H
