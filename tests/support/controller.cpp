#include "controller.h"

#include <poll.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

namespace ulo::testing {

Controller::Controller() {
  std::string error;
  if (!tools::OpenPty(pty_, error) || pipe(stop_pipe_) != 0)
    throw std::runtime_error("controller: " + error);
  reader_ = std::thread([this] { ReadLoop(); });
}

Controller::~Controller() {
  char byte = 0;
  if (write(stop_pipe_[1], &byte, 1) != 1) std::abort();
  reader_.join();
  tools::ClosePty(pty_);
  close(stop_pipe_[0]);
  close(stop_pipe_[1]);
}

void Controller::Send(std::string_view bytes) {
  std::lock_guard lock(mutex_);
  if (pty_.master < 0) return;
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(pty_.master, bytes.data() + done, bytes.size() - done);
    if (n <= 0) return;
    done += size_t(n);
  }
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

void Controller::Vanish() {
  std::lock_guard lock(mutex_);
  tools::ClosePty(pty_);
}

void Controller::ReadLoop() {
  for (;;) {
    int master;
    {
      std::lock_guard lock(mutex_);
      master = pty_.master;
    }
    pollfd fds[2] = {{stop_pipe_[0], POLLIN, 0}, {master, POLLIN, 0}};
    if (poll(fds, master >= 0 ? 2 : 1, 20) < 0) continue;
    if (fds[0].revents) return;
    if (master < 0 || !(fds[1].revents & POLLIN)) continue;
    char buffer[256];
    ssize_t n = read(master, buffer, sizeof buffer);
    if (n <= 0) continue;
    auto now = SteadyClock::now();
    std::vector<std::string> replies;
    {
      std::lock_guard lock(mutex_);
      received_.append(buffer, size_t(n));
      times_.insert(times_.end(), size_t(n), now);
      for (ssize_t i = 0; i < n; ++i) {
        line_ += buffer[i];
        if (buffer[i] != '\r') continue;
        if (responder_) replies.push_back(responder_(line_));
        line_.clear();
      }
    }
    changed_.notify_all();
    for (const std::string &reply : replies) Send(reply);
  }
}

std::string Frame(std::string_view text) {
  return std::string("\x02") + "01" + std::string(text) + "\r\x03";
}

}  // namespace ulo::testing
