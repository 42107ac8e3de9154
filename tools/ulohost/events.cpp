#include "events.h"

#include <cstdio>
#include <ctime>

#include "system.h"
#include "ulopr1/ulo.h"

namespace ulohost {

using nlohmann::json;

std::string Printable(const std::string &text) {
  std::string out;
  for (unsigned char c : text) {
    if (c >= 32 && c < 127) {
      out += static_cast<char>(c);
    } else {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
      out += escaped;
    }
  }
  return out;
}

namespace {

json Base(const char *kind, Clock::time_point time) {
  return json{{"event", kind}, {"time", IsoTime(time)}};
}

json WithId(json object, const CommandId &id) {
  if (!id.is_null()) object["id"] = id;
  return object;
}

json Result(json object, int32_t result, const CommandId &id) {
  object["result"] = result;
  object["ok"] = result == ULO_DONE;
  return WithId(std::move(object), id);
}

// Digital values are whole numbers and go out as JSON integers.
json Value(double value, int32_t type) {
  if (type == ULO_TYPE_DIGITAL) return static_cast<int64_t>(value);
  return value;
}

struct ToJsonVisitor {
  json operator()(const GateEvent &e) const {
    json out = Base("gate", e.time);
    out.update({{"ulo", e.ulo},
                {"gate", e.gate},
                {"type", TypeName(e.type)},
                {"value", Value(e.value, e.type)},
                {"quality", QualityName(e.quality)},
                {"updates", e.updates}});
    return out;
  }
  json operator()(const QualityEvent &e) const {
    json out = Base("quality", e.time);
    out.update({{"ulo", e.ulo},
                {"quality", QualityName(e.quality)},
                {"reason", e.reason},
                {"gates", e.gates}});
    return out;
  }
  json operator()(const ValuesEvent &e) const {
    json gates = json::array();
    for (const GateSnapshot &g : e.gates) {
      gates.push_back({{"ulo", g.ulo},
                       {"gate", g.gate},
                       {"label", g.label},
                       {"type", TypeName(g.type)},
                       {"value", g.value ? Value(*g.value, g.type) : json()},
                       {"age", g.value ? json(g.age) : json()},
                       {"quality", QualityName(g.quality)},
                       {"updates", g.updates}});
    }
    json out = Base("values", e.time);
    out["gates"] = std::move(gates);
    return WithId(std::move(out), e.id);
  }
  json operator()(const WriteEvent &e) const {
    json out = Base("write", e.time);
    out.update({{"ulo", e.ulo},
                {"gate", e.gate},
                {"type", TypeName(e.type)},
                {"value", Value(e.value, e.type)},
                {"seconds", e.seconds}});
    return Result(out, e.result, e.id);
  }
  json operator()(const ReadEvent &e) const {
    json out = Base("read", e.time);
    out.update({{"ulo", e.ulo},
                {"gate", e.gate},
                {"value", e.value},
                {"scheduled", e.scheduled},
                {"seconds", e.seconds}});
    return Result(out, e.result, e.id);
  }
  json operator()(const PortEvent &e) const {
    json out = Base("port", e.time);
    out.update({{"ulo", e.ulo},
                {"action", ActionName(e.action)},
                {"reason", ReasonName(e.reason)},
                {"port", e.port}});
    return Result(out, e.result, e.id);
  }
  json operator()(const LogEvent &e) const {
    json out = Base("log", e.time);
    out.update({{"class", e.message_class}, {"text", Printable(e.text)}});
    if (e.ulo >= 0) out["ulo"] = e.ulo;
    return out;
  }
  json operator()(const NoticeEvent &e) const {
    json out = Base("notice", e.time);
    out.update({{"level", LevelName(e.level)}, {"text", e.text}});
    return WithId(std::move(out), e.id);
  }
  json operator()(const StateEvent &e) const {
    json out = Base("state", e.time);
    out["state"] = StateName(e.state);
    return out;
  }
  json operator()(const TextEvent &e) const {
    json out = Base("text", e.time);
    out.update({{"topic", e.topic}, {"lines", e.lines}});
    return WithId(std::move(out), e.id);
  }
  json operator()(const LostEvent &e) const {
    json out = Base("lost", e.time);
    out["count"] = e.count;
    return out;
  }
};

}  // namespace

std::string ResultName(int32_t result) {
  switch (result) {
    case ULO_DONE:
      return "done";
    case ULO_REFUSED:
      return "refused";
    case ULO_COMM_FAILURE:
      return "comm failure";
    default:
      return "result " + std::to_string(result);
  }
}

const char *ActionName(PortAction action) {
  switch (action) {
    case PortAction::kStart:
      return "start";
    case PortAction::kWarmStart:
      return "warm_start";
    case PortAction::kClose:
      return "close";
    case PortAction::kReopen:
      return "reopen";
    case PortAction::kChange:
      return "change";
  }
  return "?";
}

const char *ReasonName(PortReason reason) {
  switch (reason) {
    case PortReason::kStartup:
      return "startup";
    case PortReason::kCommand:
      return "command";
    case PortReason::kReconnect:
      return "reconnect";
    case PortReason::kShutdown:
      return "shutdown";
  }
  return "?";
}

const char *LevelName(NoticeLevel level) {
  return level == NoticeLevel::kError ? "error" : "info";
}

const char *StateName(HostState state) {
  switch (state) {
    case HostState::kRunning:
      return "running";
    case HostState::kStopping:
      return "stopping";
    case HostState::kStopped:
      return "stopped";
  }
  return "?";
}

const char *QualityName(Quality quality) {
  switch (quality) {
    case Quality::kUncertain:
      return "uncertain";
    case Quality::kGood:
      return "good";
    case Quality::kStale:
      return "stale";
  }
  return "?";
}

const char *TypeName(int32_t type) {
  return type == ULO_TYPE_DIGITAL ? "digital" : "float";
}

json ToJson(const Event &event) { return std::visit(ToJsonVisitor{}, event); }

namespace {

// The time in strftime's format, then ".mmm" and the suffix.
std::string Stamp(Clock::time_point time, bool utc, const char *format,
                  const char *suffix) {
  std::time_t seconds = Clock::to_time_t(time);
  auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(
                    time.time_since_epoch())
                    .count() %
                1000;
  std::tm parts = sys::BrokenDownTime(seconds, utc);
  char text[64];
  std::size_t length = std::strftime(text, sizeof text, format, &parts);
  std::snprintf(text + length, sizeof text - length, ".%03d%s",
                static_cast<int>(millis), suffix);
  return text;
}

}  // namespace

std::string IsoTime(Clock::time_point time) {
  return Stamp(time, true, "%Y-%m-%dT%H:%M:%S", "Z");
}

std::string ClockTime(Clock::time_point time) {
  return Stamp(time, false, "%H:%M:%S", "");
}

}  // namespace ulohost
