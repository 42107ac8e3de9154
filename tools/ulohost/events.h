// What the host reports while it runs: gate values, results of writes, reads
// and port actions, log messages and notices. The live view, the plain line
// output and the JSON lines all show the same events.
#ifndef ULOPR1_TOOLS_ULOHOST_EVENTS_H
#define ULOPR1_TOOLS_ULOHOST_EVENTS_H

#include <chrono>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace ulohost {

using Clock = std::chrono::system_clock;

// How far a gate's value can be trusted: uncertain before its first value,
// stale while its instance's link is in doubt (the latest COM read failed,
// or the port is lost or closed), good otherwise.
enum class Quality { kUncertain, kGood, kStale };

// The id a script gave its command (a JSON string or number), echoed in the
// command's result; null when it gave none.
using CommandId = nlohmann::json;

// A new value stored by the driver for a gate.
struct GateEvent {
  Clock::time_point time;
  int ulo;
  std::string gate;
  double value;
  uint64_t updates;
  int32_t type;  // ULO_TYPE_FLOAT or ULO_TYPE_DIGITAL
  Quality quality;
};

// An instance's gates changed quality together (its link failed or came
// back): every gate listed now has that quality.
struct QualityEvent {
  Clock::time_point time;
  int ulo;
  Quality quality;
  std::string reason;  // "COM read failed", "port lost", ...
  std::vector<std::string> gates;
};

// One gate in the answer to the values command.
struct GateSnapshot {
  int ulo;
  std::string gate;
  std::string label;
  int32_t type;
  std::optional<double> value;  // none before the first value
  double age;                   // seconds since the value came
  uint64_t updates;
  Quality quality;
};

// Every gate's current value (the values command).
struct ValuesEvent {
  Clock::time_point time;
  std::vector<GateSnapshot> gates;
  CommandId id = {};
};

// The end of a confirmed write (command 7).
struct WriteEvent {
  Clock::time_point time;
  int ulo;
  std::string gate;
  double value;
  int32_t result;
  double seconds;  // how long the write held the instance
  int32_t type;    // the gate's type
  CommandId id = {};
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
  CommandId id = {};
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
  CommandId id = {};
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
  CommandId id = {};  // the refused command's
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
  CommandId id = {};
};

// Events a slow output lost: the oldest of its queue, dropped to make room.
struct LostEvent {
  Clock::time_point time;
  uint64_t count;
};

using Event = std::variant<GateEvent, WriteEvent, ReadEvent, PortEvent,
                           LogEvent, NoticeEvent, StateEvent, TextEvent,
                           QualityEvent, ValuesEvent, LostEvent>;

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
const char *QualityName(Quality quality);
const char *TypeName(int32_t type);  // "float", "digital"

// One JSON object per event, with "event" naming its kind and "time" in
// ISO 8601 UTC with milliseconds.
nlohmann::json ToJson(const Event &event);

// Bytes outside printable ASCII as \xNN: driver text stays one line of
// valid UTF-8.
std::string Printable(const std::string &text);

// When an event happened.
inline Clock::time_point EventTime(const Event &event) {
  return std::visit([](auto &e) { return e.time; }, event);
}

// "2026-12-08T13:45:16.123Z"
std::string IsoTime(Clock::time_point time);
// "13:45:16.123", local time
std::string ClockTime(Clock::time_point time);

}  // namespace ulohost

#endif  // ULOPR1_TOOLS_ULOHOST_EVENTS_H
