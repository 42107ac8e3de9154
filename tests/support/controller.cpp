#include "controller.h"

namespace ulo::testing {

void Controller::Send(std::string_view bytes) {
  std::lock_guard lock(mutex_);
  WriteLocked(bytes);
}

void Controller::SetResponder(Responder responder) {
  std::lock_guard lock(mutex_);
  responder_ = std::move(responder);
}

std::string Controller::Received() const {
  std::lock_guard lock(mutex_);
  return received_;
}

std::vector<SteadyClock::time_point> Controller::ArrivalTimes() const {
  std::lock_guard lock(mutex_);
  return times_;
}

bool Controller::WaitFor(std::string_view text,
                         std::chrono::milliseconds timeout, size_t from) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] {
    return received_.size() >= from &&
           received_.find(text, from) != std::string::npos;
  });
}

void Controller::Receive(const char *bytes, size_t count) {
  auto now = SteadyClock::now();
  std::vector<std::string> replies;
  {
    std::lock_guard lock(mutex_);
    received_.append(bytes, count);
    times_.insert(times_.end(), count, now);
    for (size_t i = 0; i < count; ++i) {
      line_ += bytes[i];
      if (bytes[i] != '\r') continue;
      if (responder_) replies.push_back(responder_(line_));
      line_.clear();
    }
  }
  changed_.notify_all();
  for (const std::string &reply : replies) Send(reply);
}

std::string Frame(std::string_view text) {
  return std::string("\x02") + "01" + std::string(text) + "\r\x03";
}

ReportStream::ReportStream(Controller &controller, std::string address)
    : thread_([this, &controller, address] {
        while (!stop_) {
          controller.Send(Frame(address + "=" + std::to_string(++last_)));
          std::this_thread::sleep_for(1ms);
        }
      }) {}

ReportStream::~ReportStream() { Stop(); }

int ReportStream::Stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  return last_;
}

}  // namespace ulo::testing
