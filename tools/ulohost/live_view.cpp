// The live table: drawn in place at the top of the terminal with plain ANSI
// sequences. The rows below it are a scrolling region for command results
// and the prompt, so the terminal's own line editing keeps working.
#include <algorithm>
#include <cstdio>
#include <mutex>

#include "output.h"
#include "system.h"
#include "ulopr1/ulo.h"
#include "zempro/control.h"

namespace ulohost {
namespace {

constexpr const char *kReset = "\x1b[0m";
constexpr const char *kGreen = "\x1b[32m";
constexpr const char *kRed = "\x1b[31m";
constexpr const char *kYellow = "\x1b[33m";
constexpr const char *kDim = "\x1b[2m";
constexpr const char *kBold = "\x1b[1m";
constexpr const char *kReverse = "\x1b[7m";
constexpr const char *kSaveCursor = "\0337";  // ESC 7
constexpr const char *kRestoreCursor = "\0338";

std::string Age(Clock::time_point since, Clock::time_point now) {
  auto seconds =
      std::chrono::duration_cast<std::chrono::seconds>(now - since).count();
  if (seconds < 0) seconds = 0;
  char text[32];
  if (seconds < 60) {
    std::snprintf(text, sizeof text, "%llds", static_cast<long long>(seconds));
  } else if (seconds < 3600) {
    std::snprintf(text, sizeof text, "%lldm%02llds",
                  static_cast<long long>(seconds / 60),
                  static_cast<long long>(seconds % 60));
  } else {
    std::snprintf(text, sizeof text, "%lldh%02lldm",
                  static_cast<long long>(seconds / 3600),
                  static_cast<long long>(seconds / 60 % 60));
  }
  return text;
}

// Columns a UTF-8 text takes (one per character).
std::size_t Width(const std::string &text) {
  return static_cast<std::size_t>(std::count_if(
      text.begin(), text.end(), [](char c) { return (c & 0xC0) != 0x80; }));
}

std::string Pad(std::string text, std::size_t width) {
  std::size_t used = Width(text);
  if (used < width) text.append(width - used, ' ');
  return text;
}

// Cuts a line to width visible columns, leaving escape sequences whole.
std::string Fit(const std::string &line, int width) {
  std::string out;
  int visible = 0;
  bool keep = true;
  for (std::size_t i = 0; i < line.size(); ++i) {
    if (line[i] == '\x1b') {
      std::size_t end = line.find('m', i);
      if (end == std::string::npos) break;
      out.append(line, i, end - i + 1);
      i = end;
      continue;
    }
    if ((line[i] & 0xC0) != 0x80) {  // a character starts here
      keep = visible < width;
      visible += keep ? 1 : 0;
    }
    if (keep) out += line[i];
  }
  return out + kReset;
}

// "COM 1 ok 3s" in the read's colour, or the gate name dimmed before any
// read.
std::string ReadCell(const char *gate, const std::optional<ReadEvent> &read,
                     Clock::time_point now) {
  if (!read) return std::string(kDim) + gate + " -" + kReset;
  bool ok = read->result == ULO_DONE;
  return std::string(ok ? kGreen : kRed) + gate + " " +
         std::to_string(read->value) + " " +
         (ok ? "ok" : ResultName(read->result)) + " " + Age(read->time, now) +
         kReset;
}

class LiveView : public Output {
 public:
  LiveView(int fd, const Config &config, const Description &description)
      : fd_(fd),
        config_(config),
        title_(" ulohost - " + description.name),
        started_(Clock::now()) {}

  void Emit(const Event &event) override {
    if (std::holds_alternative<GateEvent>(event)) return;  // in the table
    std::string line = EventLine(event);
    std::lock_guard lock(mutex_);
    if (const auto *log = std::get_if<LogEvent>(&event)) {
      last_log_ = ClockTime(log->time) + " " + line;
      return;
    }
    Layout();
    Clock::time_point time = std::visit([](auto &e) { return e.time; }, event);
    Write("\r\x1b[K" + ClockTime(time) + " " + line + "\n> ");
  }

  void Refresh(const std::vector<InstanceState> &states) override {
    std::vector<std::string> lines = Table(states);
    std::lock_guard lock(mutex_);
    Layout();
    int wanted = static_cast<int>(lines.size());
    int table = table_rows_;
    if (wanted > table) {
      // Keep the log and separator lines; say what did not fit.
      std::vector<std::string> cut(lines.begin(), lines.begin() + table - 3);
      cut.push_back(std::string(kDim) + "   (" +
                    std::to_string(wanted - table + 1) +
                    " more lines: enlarge the terminal)" + kReset);
      cut.push_back(lines[lines.size() - 2]);
      cut.push_back(lines.back());
      lines = std::move(cut);
    }
    std::string frame = std::string(kSaveCursor) + "\x1b[?25l";
    for (int row = 0; row < table; ++row) {
      frame += "\x1b[" + std::to_string(row + 1) + ";1H" +
               Fit(lines[static_cast<std::size_t>(row)], cols_) + "\x1b[K";
    }
    frame += std::string("\x1b[?25h") + kRestoreCursor;
    Write(frame);
  }

  void Prompt() override {
    std::lock_guard lock(mutex_);
    Write("> ");
  }

  void Finish() override {
    std::lock_guard lock(mutex_);
    if (rows_ == 0) return;
    Write("\x1b[r\x1b[" + std::to_string(rows_) + ";1H\n");
  }

 private:
  // Lines the whole table needs: title, a line per instance and per data
  // gate, the log line and the separator.
  int TableHeight() const {
    int lines = 3;
    for (const InstanceConfig &instance : config_.instances) {
      lines += 1 + static_cast<int>(std::count_if(
                       instance.gates.begin(), instance.gates.end(),
                       [](const GateConfig &gate) {
                         return !IsStatusGate(gate.address);
                       }));
    }
    return lines;
  }

  // Sizes the table to the terminal; on a change clears the screen and
  // keeps the table rows out of the scrolling region, prompt at the bottom.
  // Called with the mutex held.
  void Layout() {
    int rows = 24, cols = 80;
    sys::TerminalSize(fd_, rows, cols);
    int table = std::max(3, std::min(TableHeight(), rows - 4));
    if (rows == rows_ && cols == cols_ && table == table_rows_) return;
    rows_ = rows;
    cols_ = cols;
    table_rows_ = table;
    Write("\x1b[2J\x1b[" + std::to_string(table + 1) + ";" +
          std::to_string(rows) + "r\x1b[" + std::to_string(rows) + ";1H> ");
  }

  // Every line of the table, the log line and a separator last.
  std::vector<std::string> Table(const std::vector<InstanceState> &states) {
    Clock::time_point now = Clock::now();
    std::vector<std::string> lines;
    lines.push_back(std::string(kReverse) + title_ + " - up " +
                    Age(started_, now) + " - type help for commands " +
                    std::string(200, ' ') + kReset);
    for (const InstanceState &state : states) {
      const InstanceConfig *instance = config_.Find(state.ulo);
      bool open = state.link == Link::kOpen;
      std::string line = std::string(kBold) + "ULO " +
                         std::to_string(state.ulo) + kReset + "  " +
                         state.port + " " + (open ? kGreen : kRed) + "[" +
                         LinkName(state.link) + "]" + kReset + "  " +
                         ReadCell("STATUS", state.status, now) + "  " +
                         ReadCell("COM", state.com, now);
      if (state.reconnects > 0) {
        line += "  reconnects " + std::to_string(state.reconnects);
      }
      if (!state.busy.empty()) {
        line += std::string("  ") + kYellow + "> " + state.busy + kReset;
      }
      lines.push_back(line);
      for (const GateConfig &gate : instance->gates) {
        if (IsStatusGate(gate.address)) continue;
        std::optional<zempro::GateValue> value =
            zempro::ReadGate(static_cast<uint8_t>(state.ulo), gate.address);
        std::string row = "    " + Pad(gate.address, 12) + Pad(gate.label, 20);
        if (value) {
          row += Pad(FormatValue(value->value, gate.type), 12) + kDim +
                 Pad(Age(value->time, now), 8) + "x" +
                 std::to_string(value->updates) + kReset;
        } else {
          row += std::string(kDim) + "-" + kReset;
        }
        lines.push_back(row);
      }
    }
    std::lock_guard lock(mutex_);
    lines.push_back(std::string(kDim) + " log " +
                    (last_log_.empty() ? "-" : last_log_) + kReset);
    lines.push_back(std::string(kDim) + std::string(200, '-') + kReset);
    return lines;
  }

  void Write(const std::string &text) { sys::WriteAll(fd_, text); }

  int fd_;
  const Config &config_;
  std::string title_;
  Clock::time_point started_;
  std::mutex mutex_;
  std::string last_log_;
  int rows_ = 0;
  int cols_ = 0;
  int table_rows_ = 0;
};

}  // namespace

std::unique_ptr<Output> MakeLiveView(int fd, const Config &config,
                                     const Description &description) {
  return std::make_unique<LiveView>(fd, config, description);
}

}  // namespace ulohost
