// JSON lines on a file descriptor (stdout for scripts).
#include "output.h"
#include "system.h"

namespace ulohost {
namespace {

class JsonOutput : public Output {
 public:
  explicit JsonOutput(int fd) : fd_(fd) {}
  void Emit(const Event &event) override {
    sys::WriteAll(fd_,
                  ToJson(event).dump(-1, ' ', false,
                                     nlohmann::json::error_handler_t::replace) +
                      "\n");
  }

 private:
  int fd_;
};

}  // namespace

std::unique_ptr<Output> MakeJsonOutput(int fd) {
  return std::make_unique<JsonOutput>(fd);
}

}  // namespace ulohost
