// The live table: drawn in place at the top of the terminal with plain ANSI
// sequences. The rows below it are a scrolling region for command results;
// the prompt has the bottom row to itself. When the view reads the keys
// itself (the terminal in non-canonical mode) it edits the command line,
// scrolls the table (arrows, PgUp, PgDn, Home, End) and takes "/TEXT" as a
// filter on gate addresses and labels.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <mutex>
#include <sstream>

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

// Exactly width columns: padded, or cut with '~' marking the cut.
std::string Column(const std::string &text, std::size_t width) {
  if (Width(text) <= width) return Pad(text, width);
  if (width == 0) return "";
  std::string out;
  std::size_t used = 0;
  for (char c : text) {
    bool starts = (c & 0xC0) != 0x80;
    if (starts && ++used > width - 1) break;
    out += c;
  }
  return out + "~";
}

bool ContainsIgnoringCase(const std::string &text, const std::string &part) {
  auto lower = [](unsigned char c) { return std::tolower(c); };
  return std::search(text.begin(), text.end(), part.begin(), part.end(),
                     [&](char a, char b) { return lower(a) == lower(b); }) !=
         text.end();
}

std::string Row(int row) { return "\x1b[" + std::to_string(row) + ";1H"; }

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

class LiveView : public Output, public KeyReader {
 public:
  LiveView(int fd, const Config &config, const Description &description)
      : fd_(fd),
        config_(config),
        title_(" ulohost - " + description.name),
        started_(Clock::now()) {}

  void Emit(const Event &event) override {
    if (std::holds_alternative<GateEvent>(event)) return;  // in the table
    std::string text = EventLine(event);
    std::lock_guard lock(mutex_);
    if (const auto *log = std::get_if<LogEvent>(&event)) {
      last_log_ = ClockTime(log->time) + " " + text;
      return;
    }
    Clock::time_point time = EventTime(event);
    Message(ClockTime(time) + " " + text);
  }

  void Refresh(const std::vector<InstanceState> &states) override {
    std::lock_guard lock(mutex_);
    states_ = states;
    Draw();
  }

  void Prompt() override {
    std::lock_guard lock(mutex_);
    Layout();
    DrawPrompt();
  }

  void Finish() override {
    std::lock_guard lock(mutex_);
    if (rows_ == 0) return;
    Write("\x1b[r" + Row(rows_) + "\n");
  }

  bool Keys(std::string_view bytes, std::vector<std::string> &lines) override {
    std::lock_guard lock(mutex_);
    Layout();
    bool open = true;
    int offset = offset_;
    for (char c : bytes) {
      if (!escape_.empty() || c == '\x1b') {
        escape_ += c;
        Escape();
        continue;
      }
      bool after_return = after_return_;
      after_return_ = c == '\r';
      switch (c) {
        case '\n':
          if (after_return) break;  // CR LF is one Enter
          [[fallthrough]];
        case '\r':
          Enter(lines);
          break;
        case '\x7f':
        case '\b':
          while (!edit_.empty() && (edit_.back() & 0xC0) == 0x80) {
            edit_.pop_back();
          }
          if (!edit_.empty()) edit_.pop_back();
          break;
        case '\x15':  // Ctrl-U
          edit_.clear();
          break;
        case '\x04':  // Ctrl-D
          if (edit_.empty()) open = false;
          break;
        case '\x0c':  // Ctrl-L: draw everything again
          rows_ = 0;
          Layout();
          break;
        default:
          if ((static_cast<unsigned char>(c) >= 0x20) &&
              edit_.size() < kMaxLineBytes) {
            edit_ += c;
          }
          break;
      }
    }
    if (offset != offset_ || redraw_) Draw();
    redraw_ = false;
    DrawPrompt();
    return open;
  }

 private:
  // Rows of the gate list the table has room for.
  int Visible() const { return std::max(1, table_rows_ - 3); }

  // An escape sequence so far; a whole one is acted on and cleared.
  void Escape() {
    if (escape_.size() < 2) return;
    char kind = escape_[1];
    char last = escape_.back();
    bool whole =
        (kind == 'O' && escape_.size() == 3) ||
        (kind == '[' && escape_.size() > 2 && last >= 0x40 && last <= 0x7e) ||
        (kind != '[' && kind != 'O');
    if (!whole && escape_.size() < 16) return;
    std::string body = escape_.substr(2);
    escape_.clear();
    int page = std::max(1, Visible() - 1);
    if (body == "A") {
      offset_ -= 1;
    } else if (body == "B") {
      offset_ += 1;
    } else if (body == "5~") {
      offset_ -= page;
    } else if (body == "6~") {
      offset_ += page;
    } else if (body == "H" || body == "1~") {
      offset_ = 0;
    } else if (body == "F" || body == "4~") {
      offset_ = 1 << 30;
    }
    offset_ = std::max(0, offset_);  // the top is clamped when drawing
  }

  void Enter(std::vector<std::string> &lines) {
    std::string line = std::move(edit_);
    edit_.clear();
    if (line.find_first_not_of(' ') == std::string::npos) return;
    Message(std::string(kDim) + "> " + line + kReset);
    std::size_t start = line.find_first_not_of(' ');
    if (line[start] == '/') {
      filter_ = line.substr(start + 1);
      filter_.erase(filter_.find_last_not_of(' ') + 1);
      offset_ = 0;
      redraw_ = true;
      return;
    }
    lines.push_back(line);
  }

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
  // keeps the table rows and the prompt's bottom row out of the scrolling
  // region. Called with the mutex held.
  void Layout() {
    int rows = 24, cols = 80;
    sys::TerminalSize(fd_, rows, cols);
    int table = std::max(3, std::min(TableHeight(), rows - 4));
    if (rows == rows_ && cols == cols_ && table == table_rows_) return;
    rows_ = rows;
    cols_ = cols;
    table_rows_ = table;
    Write("\x1b[2J\x1b[" + std::to_string(table + 1) + ";" +
          std::to_string(rows - 1) + "r");
    DrawPrompt();
  }

  // Scrolls the message area up and writes text (a line each) at its
  // bottom.
  void Message(const std::string &text) {
    Layout();
    std::istringstream lines(text);
    std::string out;
    for (std::string line; std::getline(lines, line);) {
      out += Row(rows_ - 1) + "\n\r\x1b[K" + line;
    }
    Write(out);
    DrawPrompt();
  }

  // The bottom row: "> " and the line being typed (its end, when long),
  // with the cursor after it.
  void DrawPrompt() {
    std::string shown = edit_;
    std::size_t room = static_cast<std::size_t>(std::max(1, cols_ - 3));
    while (Width(shown) > room) {
      shown.erase(0, 1);
      while (!shown.empty() && (shown[0] & 0xC0) == 0x80) shown.erase(0, 1);
    }
    Write(Row(rows_) + "\x1b[K> " + shown);
  }

  // Draws the table: title, the window of the gate list, the log line and
  // a separator saying what is shown. Called with the mutex held.
  void Draw() {
    Layout();
    Clock::time_point now = Clock::now();
    std::vector<std::string> body = Body(now);
    int visible = Visible();
    int most = std::max(0, static_cast<int>(body.size()) - visible);
    offset_ = std::min(offset_, most);
    std::vector<std::string> lines;
    lines.push_back(std::string(kReverse) + title_ + " - up " +
                    Age(started_, now) + " - type help for commands " +
                    std::string(200, ' ') + kReset);
    for (int i = 0; i < visible; ++i) {
      std::size_t at = static_cast<std::size_t>(offset_ + i);
      lines.push_back(at < body.size() ? body[at] : "");
    }
    lines.push_back(std::string(kDim) + " log " +
                    (last_log_.empty() ? "-" : last_log_) + kReset);
    std::string where;
    if (most > 0) {
      where = " lines " + std::to_string(offset_ + 1) + "-" +
              std::to_string(std::min<int>(offset_ + visible,
                                           static_cast<int>(body.size()))) +
              " of " + std::to_string(body.size()) + " (arrows, PgUp, PgDn) ";
    }
    if (!filter_.empty()) where += " filter '" + filter_ + "' (/ clears) ";
    lines.push_back(std::string(kDim) + "--" + where + std::string(200, '-') +
                    kReset);
    std::string frame = "\x1b[?25l";
    for (int row = 0; row < table_rows_; ++row) {
      frame += Row(row + 1) + Fit(lines[static_cast<std::size_t>(row)], cols_) +
               "\x1b[K";
    }
    Write(frame + "\x1b[?25h");
    DrawPrompt();
  }

  bool Shown(const GateConfig &gate) const {
    return filter_.empty() || ContainsIgnoringCase(gate.address, filter_) ||
           ContainsIgnoringCase(gate.label, filter_);
  }

  // An instance's line and its gates' lines, as the filter leaves them.
  std::vector<std::string> Body(Clock::time_point now) const {
    std::vector<std::string> lines;
    // The value stays in view: the label gives way on a narrow terminal.
    std::size_t label_width =
        static_cast<std::size_t>(std::clamp(cols_ - 4 - 12 - 14, 0, 20));
    for (const InstanceState &state : states_) {
      const InstanceConfig *instance = config_.Find(state.ulo);
      std::vector<std::string> gates;
      for (const GateConfig &gate : instance->gates) {
        if (IsStatusGate(gate.address) || !Shown(gate)) continue;
        std::optional<zempro::GateValue> value =
            zempro::ReadGate(static_cast<uint8_t>(state.ulo), gate.address);
        std::string row = "    " + Column(gate.address, 11) + " " +
                          Column(gate.label, label_width) + " ";
        if (!value) {
          gates.push_back(row + kDim + "-" + kReset);
          continue;
        }
        bool stale = state.quality == Quality::kStale;
        row += std::string(stale ? kRed : "") +
               Pad(FormatValue(value->value, gate.type), 12) + kReset + kDim +
               Pad(Age(value->time, now), 8) + "x" +
               std::to_string(value->updates) + kReset;
        if (stale) row += std::string(" ") + kRed + "stale" + kReset;
        gates.push_back(row);
      }
      if (gates.empty() && !filter_.empty()) continue;
      lines.push_back(InstanceLine(state, now));
      lines.insert(lines.end(), gates.begin(), gates.end());
    }
    if (lines.empty()) {
      lines.push_back(std::string(kDim) + "   no gate matches '" + filter_ +
                      "'" + kReset);
    }
    return lines;
  }

  static std::string InstanceLine(const InstanceState &state,
                                  Clock::time_point now) {
    bool open = state.link == Link::kOpen;
    std::string line = std::string(kBold) + "ULO " + std::to_string(state.ulo) +
                       kReset + "  " + state.port + " " +
                       (open ? kGreen : kRed) + "[" + LinkName(state.link) +
                       "]" + kReset + "  " +
                       ReadCell("STATUS", state.status, now) + "  " +
                       ReadCell("COM", state.com, now);
    if (state.reconnects > 0) {
      line += "  reconnects " + std::to_string(state.reconnects);
    }
    if (!state.busy.empty()) {
      line += std::string("  ") + kYellow + "> " + state.busy + kReset;
    }
    return line;
  }

  void Write(const std::string &text) { sys::WriteAll(fd_, text); }

  int fd_;
  const Config &config_;
  std::string title_;
  Clock::time_point started_;
  std::mutex mutex_;
  std::vector<InstanceState> states_;
  std::string last_log_;
  int rows_ = 0;
  int cols_ = 0;
  int table_rows_ = 0;
  // What the keys have done.
  std::string edit_;    // the command line being typed
  std::string escape_;  // an escape sequence not yet complete
  bool after_return_ = false;
  std::string filter_;
  int offset_ = 0;  // the first gate-list line shown
  bool redraw_ = false;
};

}  // namespace

std::unique_ptr<Output> MakeLiveView(int fd, const Config &config,
                                     const Description &description) {
  return std::make_unique<LiveView>(fd, config, description);
}

}  // namespace ulohost
