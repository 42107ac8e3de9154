#include "host_log.h"

#include <cctype>

#include "output.h"
#include "ulopr1/ulo.h"

namespace ulohost {
namespace {

constexpr std::size_t kTailLines = 2000;

thread_local int thread_instance = -1;

// The instance a driver message names ("ULO 3", "Ulo 3"), else -1.
int NamedInstance(const std::string &text) {
  for (std::size_t at = 0; at + 4 < text.size(); ++at) {
    if (std::toupper(static_cast<unsigned char>(text[at])) != 'U' ||
        std::toupper(static_cast<unsigned char>(text[at + 1])) != 'L' ||
        std::toupper(static_cast<unsigned char>(text[at + 2])) != 'O' ||
        text[at + 3] != ' ' ||
        !std::isdigit(static_cast<unsigned char>(text[at + 4]))) {
      continue;
    }
    int ulo = 0;
    for (std::size_t i = at + 4;
         i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])) &&
         ulo < 1000;
         ++i) {
      ulo = ulo * 10 + (text[i] - '0');
    }
    return ulo;
  }
  return -1;
}

}  // namespace

void SetThreadInstance(int ulo) { thread_instance = ulo; }

void HostLog::Add(const zempro::LogRecord &record) {
  if (record.message_class == ZEM_CLASS_TRACE && !traces_) return;
  int ulo = NamedInstance(record.text);
  LogEvent event{record.time, record.message_class, record.text,
                 ulo >= 0 ? ulo : thread_instance};
  std::lock_guard lock(mutex_);
  bool same = last_ && last_->message_class == event.message_class &&
              last_->text == event.text && last_->ulo == event.ulo;
  if (same) {
    if (repeats_++ == 0) repeats_since_ = event.time;
    repeat_time_ = event.time;
    if (event.time - repeats_since_ < kRepeatFlush) return;
  }
  EmitRepeatsLocked();
  if (same) return;  // counted in the line just emitted
  last_ = event;
  EmitLocked(event);
}

void HostLog::Flush(Clock::time_point now, bool all) {
  std::lock_guard lock(mutex_);
  if (repeats_ > 0 && (all || now - repeats_since_ >= kRepeatFlush)) {
    EmitRepeatsLocked();
  }
}

void HostLog::EmitRepeatsLocked() {
  if (repeats_ == 0) return;
  LogEvent count = *last_;
  count.time = repeat_time_;
  count.text = "repeated " + std::to_string(repeats_) +
               (repeats_ == 1 ? " time: " : " times: ") + count.text;
  repeats_ = 0;
  EmitLocked(count);
}

std::vector<std::string> HostLog::Last(int count) const {
  std::lock_guard lock(mutex_);
  std::size_t n = std::min(tail_.size(), static_cast<std::size_t>(count));
  return {tail_.end() - static_cast<std::ptrdiff_t>(n), tail_.end()};
}

void HostLog::EmitLocked(const LogEvent &event) {
  tail_.push_back(ClockTime(event.time) + " " + EventLine(event));
  if (tail_.size() > kTailLines) tail_.pop_front();
  sink_.Emit(event);
}

namespace {

struct PriorityVisitor {
  int operator()(const GateEvent &) const { return 6; }
  int operator()(const WriteEvent &e) const {
    return e.result == ULO_DONE ? 5 : 4;
  }
  int operator()(const ReadEvent &e) const {
    return e.result == ULO_DONE ? 6 : 4;
  }
  int operator()(const PortEvent &e) const {
    return e.result == ULO_DONE ? 5 : 3;
  }
  int operator()(const LogEvent &e) const {
    return e.message_class == ZEM_CLASS_TRACE ? 7 : 5;
  }
  int operator()(const NoticeEvent &e) const {
    return e.level == NoticeLevel::kError ? 3 : 6;
  }
  int operator()(const StateEvent &) const { return 5; }
  int operator()(const TextEvent &) const { return 6; }
  int operator()(const QualityEvent &e) const {
    return e.quality == Quality::kStale ? 4 : 6;
  }
  int operator()(const ValuesEvent &) const { return 6; }
  int operator()(const LostEvent &) const { return 4; }
};

}  // namespace

std::optional<std::string> LogLine(const Event &event) {
  if (std::holds_alternative<GateEvent>(event) ||
      std::holds_alternative<TextEvent>(event) ||
      std::holds_alternative<ValuesEvent>(event)) {
    return std::nullopt;
  }
  if (const auto *read = std::get_if<ReadEvent>(&event);
      read && read->scheduled && read->result == ULO_DONE) {
    return std::nullopt;
  }
  return EventLine(event);
}

int LogPriority(const Event &event) {
  return std::visit(PriorityVisitor{}, event);
}

}  // namespace ulohost
