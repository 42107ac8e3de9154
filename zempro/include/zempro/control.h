// Control API of the stand-in host runtime: what a host program and tests use
// to play the host's part around the seven functions the driver calls.
// Everything here is thread-safe.
#ifndef ZEMPRO_CONTROL_H
#define ZEMPRO_CONTROL_H

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "ulopr1/zempro.h"

namespace zempro {

using Clock = std::chrono::system_clock;

// ---- Gates -----------------------------------------------------------------

struct GateInfo {
  int32_t id;
  uint8_t instance;
  std::string address;  // as defined; lookups are exact (case-sensitive)
  int32_t type;         // 3 floating point, 6 digital
};

struct GateValue {
  double value = 0;
  Clock::time_point time{};  // when the driver stored it
  uint64_t updates = 0;      // how many values the gate has received
};

// Defines a gate on an instance and returns its id (ids start at 1). Defining
// the same instance and address again returns the existing id.
ZEMPRO_API int32_t DefineGate(uint8_t instance, const std::string &address,
                              int32_t type);
ZEMPRO_API std::vector<GateInfo> Gates();
// The latest value, or nothing when the gate is unknown or has none yet.
ZEMPRO_API std::optional<GateValue> ReadGate(uint8_t instance,
                                             const std::string &address);
ZEMPRO_API std::optional<GateValue> ReadGateById(int32_t id);
// Makes Zem5PutGateVal refuse (non-zero) values for this gate while set.
ZEMPRO_API void RefuseGate(int32_t id, bool refuse);

// Called on the driver's thread after each accepted value, one call at a
// time. Once Unsubscribe returns the listener is not called again. Values a
// listener itself stores through Zem5PutGateVal are not announced.
using GateListener =
    std::function<void(const GateInfo &gate, const GateValue &value)>;
ZEMPRO_API int Subscribe(GateListener listener);
ZEMPRO_API void Unsubscribe(int subscription);

// ---- Log -------------------------------------------------------------------

struct LogRecord {
  int32_t message_class;  // 8 trace, 32 message
  std::string text;
  Clock::time_point time;
};

using LogSink = std::function<void(const LogRecord &record)>;
// Sinks receive every message, in order, from whichever thread logs it, one
// call at a time; once RemoveLogSink returns the sink is not called again.
// While no sink is registered messages are dropped. err() cuts a message to
// 1023 bytes; a null format logs "(null format)". A sink must not rely on its
// own err() calls being logged (they are dropped: no recursion). On Windows,
// where zempro.dll and the program each carry their own C++ runtime, an
// exception cannot pass from a sink or listener back into zempro.dll: it ends
// the program, so sinks and listeners there must not throw.
ZEMPRO_API int AddLogSink(LogSink sink);
ZEMPRO_API void RemoveLogSink(int sink);
// A sink writing "HH:MM:SS.mmm [class] text" lines to stderr; with
// traces false it drops class-8 messages.
ZEMPRO_API LogSink StderrSink(bool traces);
// The same lines appended to a file; empty when the file cannot be opened.
// Each line is written with one system call, so a crash loses nothing.
ZEMPRO_API std::optional<LogSink> FileSink(const std::string &path);
// The line those sinks write (without the newline): local time, the class
// as a number, then the text with control characters and bytes above 126
// shown as \xNN, so one record stays one printable line.
ZEMPRO_API std::string FormatLogLine(const LogRecord &record);

// Keeps every message in memory while it lives (registers itself as a sink).
class ZEMPRO_API MemoryLog {
 public:
  MemoryLog();
  ~MemoryLog();
  MemoryLog(const MemoryLog &) = delete;
  MemoryLog &operator=(const MemoryLog &) = delete;

  std::vector<LogRecord> Records() const;
  // How many records have exactly this class and text.
  int Count(int32_t message_class, const std::string &text) const;
  // Waits until at least count records have exactly this class and text.
  bool WaitFor(int32_t message_class, const std::string &text, int count,
               std::chrono::milliseconds timeout) const;
  void Clear();

 private:
  struct State;
  State *state_;
  int sink_;
};

// ---- Clients ---------------------------------------------------------------

struct ClientInfo {
  uint8_t id;
  std::string name;
  bool stopping;
  // When it registered or last began a Zem5WaitMsg; a receiver waits
  // between looks at its port, so an old time means it is held up.
  std::chrono::steady_clock::time_point last_wait;
};

ZEMPRO_API std::vector<ClientInfo> Clients();
// Names need not be unique (each registration gets its own id); FindClient
// answers the most recently registered client with the name.
ZEMPRO_API std::optional<uint8_t> FindClient(const std::string &name);
// Makes the client's Zem5WaitMsg return 0 (at once if it is waiting).
ZEMPRO_API void StopClient(uint8_t client);
ZEMPRO_API void StopAllClients();
// Waits until no client with this name is registered.
ZEMPRO_API bool WaitClientGone(const std::string &name,
                               std::chrono::milliseconds timeout);
// The next Zem5MkClient calls answer this code instead of registering
// (0 restores normal behaviour).
ZEMPRO_API void FailMakeClient(uint16_t code);

// The wait until a host sets one: adaptive, 100 ms while reports flow and up
// to 200 ms on a quiet line. A receiver looks at its port once a wait, so a
// report waits up to one wait, and each look costs a wake-up, plus one for
// each character of a frame still arriving. At 100 ms a look at a busy 9600
// baud line finds about eight whole frames, so a report costs about one
// wake-up; at 200 ms 64 quiet instances cost about half a percent of a core.
// docs/BENCHMARKS.md has the measurements.
inline constexpr int kDefaultShortestWaitMs = 100;
inline constexpr int kDefaultLongestWaitMs = 200;

// How long Zem5WaitMsg waits when nothing stops it (at least 1 ms). Same as
// SetWaitRange(milliseconds, milliseconds).
ZEMPRO_API void SetWaitMilliseconds(int milliseconds);
// Adaptive wait: a client waits `shortest` after a wait in which it stored a
// value or looked up a gate, and twice its previous wait, up to `longest`,
// after a quiet one. Short while reports flow, few wake-ups on a quiet line.
ZEMPRO_API void SetWaitRange(int shortest, int longest);
// The shortest wait of the range.
ZEMPRO_API int WaitMilliseconds();

// ---- Communication status --------------------------------------------------

struct CommStatus {
  int failures = 0;  // Zem5SetPlcCommStatus calls for the instance
  Clock::time_point last{};
};
ZEMPRO_API CommStatus GetCommStatus(uint8_t instance);

// Forgets gates, values, clients, subscriptions, comm status and fault
// settings (log sinks and the wait setting stay). For tests between cases.
ZEMPRO_API void Reset();

}  // namespace zempro

#endif  // ZEMPRO_CONTROL_H
