#include "output.h"

#include <charconv>
#include <iterator>

#include "ulopr1/ulo.h"

namespace ulohost {
namespace {

std::string Ulo(int ulo) { return "ulo " + std::to_string(ulo) + " "; }

// value as printf's "%.Nf" (fixed) or "%.Ng" (general), N the precision,
// writes it in the "C" locale.
std::string Printed(double value, std::chars_format format, int precision) {
  char text[330];  // "%.1f" of the largest double: a sign and 311 more
  std::to_chars_result written =
      std::to_chars(text, std::end(text), value, format, precision);
  return std::string(text, written.ptr);
}

std::string Took(double seconds) {
  return Printed(seconds, std::chars_format::fixed, 1) + " s";
}

// A text of several lines: what it is, then each line of its own.
std::string Block(const std::string &heading,
                  const std::vector<std::string> &lines) {
  std::string text = heading + ":";
  for (const std::string &line : lines) text += "\n" + line;
  return text;
}

struct LineVisitor {
  std::string operator()(const GateEvent &e) const {
    return Ulo(e.ulo) + e.gate + " = " + FormatValue(e.value, e.type) +
           (e.quality == Quality::kGood
                ? ""
                : std::string(" (") + QualityName(e.quality) + ")");
  }
  std::string operator()(const QualityEvent &e) const {
    std::string gates;
    for (const std::string &gate : e.gates) gates += " " + gate;
    return Ulo(e.ulo) + "gates " + QualityName(e.quality) + " (" + e.reason +
           "):" + gates;
  }
  std::string operator()(const ValuesEvent &e) const {
    std::vector<std::string> lines;
    for (const GateSnapshot &g : e.gates) {
      std::string line = Ulo(g.ulo) + g.gate + " = ";
      if (g.value) {
        line += FormatValue(*g.value, g.type) + " (" + TypeName(g.type) + ", " +
                QualityName(g.quality) + ", " + Took(g.age) + " ago, " +
                std::to_string(g.updates) + " updates)";
      } else {
        line += std::string("- (") + TypeName(g.type) + ", " +
                QualityName(g.quality) + ", no value yet)";
      }
      lines.push_back(line);
    }
    return Block("values of " + std::to_string(e.gates.size()) + " gates",
                 lines);
  }
  std::string operator()(const WriteEvent &e) const {
    return Ulo(e.ulo) + "write " + e.gate + " = " +
           FormatValue(e.value, e.type) + ": " +
           (e.result == ULO_DONE ? "confirmed" : ResultName(e.result)) + " (" +
           Took(e.seconds) + ")";
  }
  std::string operator()(const ReadEvent &e) const {
    return Ulo(e.ulo) + e.gate + " = " + std::to_string(e.value) + ": " +
           ResultName(e.result) + " (" + (e.scheduled ? "scheduled, " : "") +
           Took(e.seconds) + ")";
  }
  std::string operator()(const PortEvent &e) const {
    return Ulo(e.ulo) + ActionName(e.action) + " " + e.port + ": " +
           ResultName(e.result) + " (" + ReasonName(e.reason) + ")";
  }
  std::string operator()(const LogEvent &e) const {
    return (e.ulo >= 0 ? Ulo(e.ulo) : "") + "[" +
           std::to_string(e.message_class) + "] " + Printable(e.text);
  }
  std::string operator()(const NoticeEvent &e) const {
    return std::string(LevelName(e.level)) + ": " + e.text;
  }
  std::string operator()(const StateEvent &e) const {
    return std::string("host ") + StateName(e.state);
  }
  std::string operator()(const TextEvent &e) const {
    return Block(e.topic, e.lines);
  }
  std::string operator()(const LostEvent &e) const {
    return "lost " + std::to_string(e.count) +
           " events: this output did not keep up";
  }
};

}  // namespace

std::string EventLine(const Event &event) {
  return std::visit(LineVisitor{}, event);
}

std::string FormatValue(double value, int32_t type) {
  if (type == ULO_TYPE_DIGITAL) {
    return Printed(value, std::chars_format::fixed, 0);
  }
  return Printed(value, std::chars_format::general, 6);
}

}  // namespace ulohost
