// The host's log: err() and the sinks that show or keep its messages.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <ctime>

#include "internal.h"
#include "zempro/control.h"

namespace zempro {
namespace {

constexpr std::size_t kMessageBytes = 1024;

// Never destroyed: receiver threads may still log while the process exits.
internal::Broadcast<LogRecord> &Sinks() {
  static auto *sinks = new internal::Broadcast<LogRecord>;
  return *sinks;
}

#ifdef _WIN32
// Windows' C runtime: binary mode keeps each line's bytes as they are.
constexpr int kAppendFlags =
    O_WRONLY | O_CREAT | O_APPEND | O_BINARY | O_NOINHERIT;
#else
constexpr int kAppendFlags = O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC;
#endif

std::tm LocalTime(std::time_t seconds) {
  std::tm local{};
#ifdef _WIN32
  localtime_s(&local, &seconds);
#else
  localtime_r(&seconds, &local);
#endif
  return local;
}

void WriteAll(int fd, const std::string &text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t written = ::write(fd, text.data() + done, text.size() - done);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    done += static_cast<std::size_t>(written);
  }
}

// An open file that closes when the last sink copy holding it goes.
struct OwnedFile {
  explicit OwnedFile(int file) : fd(file) {}
  ~OwnedFile() { ::close(fd); }
  OwnedFile(const OwnedFile &) = delete;
  OwnedFile &operator=(const OwnedFile &) = delete;
  int fd;
};

}  // namespace

std::string FormatLogLine(const LogRecord &record) {
  const auto since_epoch = record.time.time_since_epoch();
  const std::time_t seconds = Clock::to_time_t(record.time);
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(since_epoch)
          .count() %
      1000;
  const std::tm local = LocalTime(seconds);
  char head[64];
  std::snprintf(head, sizeof head, "%02d:%02d:%02d.%03d [%d] ", local.tm_hour,
                local.tm_min, local.tm_sec, static_cast<int>(millis),
                static_cast<int>(record.message_class));
  std::string line = head;
  for (const char c : record.text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte < 0x7f) {
      line += c;
    } else {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
      line += escaped;
    }
  }
  return line;
}

int AddLogSink(LogSink sink) { return Sinks().Add(std::move(sink)); }

void RemoveLogSink(int sink) { Sinks().Remove(sink); }

LogSink StderrSink(bool traces) {
  return [traces](const LogRecord &record) {
    if (!traces && record.message_class == ZEM_CLASS_TRACE) return;
    WriteAll(STDERR_FILENO, FormatLogLine(record) + "\n");
  };
}

std::optional<LogSink> FileSink(const std::string &path) {
  const int fd = ::open(path.c_str(), kAppendFlags, 0644);
  if (fd < 0) return std::nullopt;
  auto file = std::make_shared<OwnedFile>(fd);
  return LogSink([file](const LogRecord &record) {
    WriteAll(file->fd, FormatLogLine(record) + "\n");
  });
}

struct MemoryLog::State {
  mutable std::mutex mutex;
  mutable std::condition_variable added;
  std::vector<LogRecord> records;

  int CountLocked(int32_t message_class, const std::string &text) const {
    return static_cast<int>(
        std::count_if(records.begin(), records.end(), [&](const auto &r) {
          return r.message_class == message_class && r.text == text;
        }));
  }
};

MemoryLog::MemoryLog() : state_(new State) {
  sink_ = AddLogSink([state = state_](const LogRecord &record) {
    std::lock_guard lock(state->mutex);
    state->records.push_back(record);
    state->added.notify_all();
  });
}

MemoryLog::~MemoryLog() {
  RemoveLogSink(sink_);
  delete state_;
}

std::vector<LogRecord> MemoryLog::Records() const {
  std::lock_guard lock(state_->mutex);
  return state_->records;
}

int MemoryLog::Count(int32_t message_class, const std::string &text) const {
  std::lock_guard lock(state_->mutex);
  return state_->CountLocked(message_class, text);
}

bool MemoryLog::WaitFor(int32_t message_class, const std::string &text,
                        int count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(state_->mutex);
  return state_->added.wait_for(lock, timeout, [&] {
    return state_->CountLocked(message_class, text) >= count;
  });
}

void MemoryLog::Clear() {
  std::lock_guard lock(state_->mutex);
  state_->records.clear();
}

}  // namespace zempro

extern "C" ZEMPRO_API void err(int32_t message_class, const char *format, ...) {
  zempro::LogRecord record{message_class, {}, zempro::Clock::now()};
  if (format == nullptr) {
    record.text = "(null format)";
  } else {
    char text[zempro::kMessageBytes];
    va_list args;
    va_start(args, format);
    const int length = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    record.text = length < 0 ? "(bad format)" : text;
  }
  zempro::Sinks().Send(record);
}
