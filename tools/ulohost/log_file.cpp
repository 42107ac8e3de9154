// The host log in a file.
#include "host_log.h"
#include "output.h"
#include "system.h"

namespace ulohost {
namespace {

class LogFile : public Output {
 public:
  LogFile(std::string path, int fd, std::function<void(const Event &)> tell)
      : path_(std::move(path)), fd_(fd), tell_(std::move(tell)) {}
  ~LogFile() override {
    if (fd_ >= 0) sys::CloseFile(fd_);
  }

  void Emit(const Event &event) override {
    std::optional<std::string> line = LogLine(event);
    if (!line) return;
    Clock::time_point time = EventTime(event);
    Append(IsoTime(time) + " " + *line + "\n");
  }

  void Reopen() override {
    if (fd_ >= 0) sys::CloseFile(fd_);
    std::string error;
    fd_ = sys::OpenAppend(path_, error);
    if (fd_ < 0)
      Failed("cannot open the log file " + path_ + " again: " + error);
  }

 private:
  void Append(const std::string &line) {
    if (failing_ && !Resume()) {
      ++lost_;
      return;
    }
    std::string error = sys::AppendWhole(fd_, line);
    if (error.empty()) return;
    ++lost_;
    Failed("cannot write the log file " + path_ + ": " + error);
  }

  // Says, in the file first, that lines can be written again and how many
  // were lost; false while they still cannot.
  bool Resume() {
    if (fd_ < 0) {
      std::string error;
      fd_ = sys::OpenAppend(path_, error);
      if (fd_ < 0) return false;
    }
    NoticeEvent notice{Clock::now(), NoticeLevel::kInfo,
                       "the log file " + path_ + " is written again; " +
                           std::to_string(lost_) +
                           " lines could not be written"};
    if (!sys::AppendWhole(fd_,
                          IsoTime(notice.time) + " " + EventLine(notice) + "\n")
             .empty()) {
      return false;
    }
    failing_ = false;
    lost_ = 0;
    tell_(notice);
    return true;
  }

  // Tells the other outputs once, until the log works again.
  void Failed(const std::string &text) {
    if (failing_) return;
    failing_ = true;
    tell_(NoticeEvent{Clock::now(), NoticeLevel::kError,
                      text + "; lines are counted until it can be written"});
  }

  std::string path_;
  int fd_;
  std::function<void(const Event &)> tell_;
  bool failing_ = false;
  uint64_t lost_ = 0;
};

}  // namespace

std::unique_ptr<Output> MakeLogFile(const std::string &path,
                                    std::function<void(const Event &)> tell,
                                    std::string &error) {
  int fd = sys::OpenAppend(path, error);
  if (fd < 0) return nullptr;
  return std::make_unique<LogFile>(path, fd, std::move(tell));
}

}  // namespace ulohost
