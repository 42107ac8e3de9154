// The controller's side of a pseudo-terminal, for tests: what the driver sends
// is collected (with the time each byte came), and replies can be sent by hand
// or by a responder that answers every line ending in CR.
#ifndef ULOPR1_TESTS_SUPPORT_CONTROLLER_H
#define ULOPR1_TESTS_SUPPORT_CONTROLLER_H

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "pty.h"

namespace ulo::testing {

using SteadyClock = std::chrono::steady_clock;
using namespace std::chrono_literals;

class Controller {
 public:
  // Answers a line the driver sent (CR included); returns bytes to send back.
  using Responder = std::function<std::string(const std::string &line)>;

  Controller();
  ~Controller();
  Controller(const Controller &) = delete;
  Controller &operator=(const Controller &) = delete;

  const std::string &Path() const { return pty_.path; }
  void Send(std::string_view bytes);
  void SetResponder(Responder responder);

  // Everything received so far, and the arrival time of each byte.
  std::string Received() const;
  std::vector<SteadyClock::time_point> ArrivalTimes() const;
  // Waits until the received bytes contain text (after `from` bytes).
  bool WaitFor(std::string_view text, std::chrono::milliseconds timeout,
               size_t from = 0) const;
  // Closes the line, as when an adapter is unplugged.
  void Vanish();

 private:
  void ReadLoop();

  tools::Pty pty_;
  int stop_pipe_[2] = {-1, -1};
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::string received_;
  std::vector<SteadyClock::time_point> times_;
  std::string line_;
  Responder responder_;
  std::thread reader_;
};

// A report frame: STX, two header characters, text, CR, ETX.
std::string Frame(std::string_view text);

}  // namespace ulo::testing

#endif  // ULOPR1_TESTS_SUPPORT_CONTROLLER_H
