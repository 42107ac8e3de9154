// Plain lines on a file descriptor (stdout when it is not a terminal).
#include "output.h"
#include "system.h"

namespace ulohost {
namespace {

class PlainOutput : public Output {
 public:
  explicit PlainOutput(int fd) : fd_(fd) {}
  void Emit(const Event &event) override {
    Clock::time_point time = EventTime(event);
    sys::WriteAll(fd_, ClockTime(time) + " " + EventLine(event) + "\n");
  }

 private:
  int fd_;
};

}  // namespace

std::unique_ptr<Output> MakePlainOutput(int fd) {
  return std::make_unique<PlainOutput>(fd);
}

}  // namespace ulohost
