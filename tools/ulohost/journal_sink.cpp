// The host log for the systemd journal, which reads a service's stderr and
// takes a leading "<N>" as the line's priority.
#include "host_log.h"
#include "output.h"
#include "system.h"

namespace ulohost {
namespace {

class Journal : public Output {
 public:
  explicit Journal(int fd) : fd_(fd) {}
  void Emit(const Event &event) override {
    std::optional<std::string> line = LogLine(event);
    if (!line) return;
    sys::WriteAll(
        fd_, "<" + std::to_string(LogPriority(event)) + ">" + *line + "\n");
  }

 private:
  int fd_;
};

}  // namespace

std::unique_ptr<Output> MakeJournal(int fd) {
  return std::make_unique<Journal>(fd);
}

}  // namespace ulohost
