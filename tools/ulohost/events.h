// What the host reports while it runs: gate values, results of writes, reads
// and port actions, log messages and notices. The live view, the plain line
// output and the JSON lines all show the same events.
#ifndef ULOPR1_TOOLS_ULOHOST_EVENTS_H
#define ULOPR1_TOOLS_ULOHOST_EVENTS_H

#include <chrono>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <variant>
#include <vector>

namespace ulohost {

using Clock = std::chrono::system_clock;

// A new value stored by the driver for a gate.
struct GateEvent {
  Clock::time_point time;
  int ulo;
  std::string gate;
  double value;
  uint64_t updates;
};

// The end of a confirmed write (command 7).
struct WriteEvent {
  Clock::time_point time;
  int ulo;
  std::string gate;
  double value;
  int32_t result;
  double seconds;  // how long the write held the instance
};

// A read of STATUS or COM (command 5).
struct ReadEvent {
  Clock::time_point time;
  int ulo;
  std::string gate;
  int32_t result;
  uint16_t value;
  bool scheduled;  // by the host's schedule rather than a command
  double seconds;
};

// What the host did to an instance and its port.
enum class PortAction { kStart, kWarmStart, kClose, kReopen, kChange };
// Why it did it.
enum class PortReason { kStartup, kCommand, kReconnect, kShutdown };

// An instance or port action and its result.
struct PortEvent {
  Clock::time_point time;
  int ulo;
  PortAction action;
  int32_t result;
  PortReason reason;
  std::string port;  // the port name the action used
};

// A message of the host's log.
struct LogEvent {
  Clock::time_point time;
  int32_t message_class;
  std::string text;
  int ulo = -1;  // the instance it is about; -1: the host as a whole
};

enum class NoticeLevel { kInfo, kError };

// Something the host itself says: its state, a command it refused.
struct NoticeEvent {
  Clock::time_point time;
  NoticeLevel level;
  std::string text;
};

// The host's own state: running once every instance is started, then
// stopping and stopped.
enum class HostState { kRunning, kStopping, kStopped };

struct StateEvent {
  Clock::time_point time;
  HostState state;
};

// Text a command asked for (help, the log tail).
struct TextEvent {
  Clock::time_point time;
  std::string topic;
  std::vector<std::string> lines;
};

// Events a slow output lost: the oldest of its queue, dropped to make room.
struct LostEvent {
  Clock::time_point time;
  uint64_t count;
};

using Event =
    std::variant<GateEvent, WriteEvent, ReadEvent, PortEvent, LogEvent,
                 NoticeEvent, StateEvent, TextEvent, LostEvent>;

// Receives events from every thread of the host.
class EventSink {
 public:
  virtual ~EventSink() = default;
  virtual void Emit(const Event &event) = 0;
};

// "done", "refused" or "comm failure" for a command result.
std::string ResultName(int32_t result);

// The words events show and send: "warm_start", "reconnect", "error",
// "running".
const char *ActionName(PortAction action);
const char *ReasonName(PortReason reason);
const char *LevelName(NoticeLevel level);
const char *StateName(HostState state);

// One JSON object per event, with "event" naming its kind and "time" in
// ISO 8601 UTC with milliseconds.
nlohmann::json ToJson(const Event &event);

// Bytes outside printable ASCII as \xNN: driver text stays one line of
// valid UTF-8.
std::string Printable(const std::string &text);

// "2026-12-08T13:45:16.123Z"
std::string IsoTime(Clock::time_point time);
// "13:45:16.123", local time
std::string ClockTime(Clock::time_point time);

}  // namespace ulohost

#endif  // ULOPR1_TOOLS_ULOHOST_EVENTS_H
