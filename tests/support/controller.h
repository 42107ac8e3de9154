// The controller's side of a serial line, for tests: what the driver sends
// is collected (with the time each byte came), and replies can be sent by hand
// or by a responder that answers every line ending in CR. On Linux the line
// is a new pseudo-terminal; on Windows it is a pair of COM ports that the
// test harness has linked (see OpenPortPair in controller_windows.cpp).
#ifndef ULOPR1_TESTS_SUPPORT_CONTROLLER_H
#define ULOPR1_TESTS_SUPPORT_CONTROLLER_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>
#ifndef _WIN32
#include "pty.h"
#endif

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

  // The port the driver opens: the pseudo-terminal's path on Linux, the COM
  // port's name on Windows.
  const std::string &Path() const { return path_; }
  void Send(std::string_view bytes);
  void SetResponder(Responder responder);

  // Everything received so far, and the arrival time of each byte.
  std::string Received() const;
  std::vector<SteadyClock::time_point> ArrivalTimes() const;
  // Waits until the received bytes contain text (after `from` bytes).
  bool WaitFor(std::string_view text, std::chrono::milliseconds timeout,
               size_t from = 0) const;
#ifndef _WIN32
  // Closes the line, as when an adapter is unplugged. (Linux only: a pair of
  // COM ports cannot hang up.)
  void Vanish();
#endif

 private:
  void ReadLoop();
  // Keeps bytes that came from the driver and answers each completed line.
  void Receive(const char *bytes, size_t count);
  // Writes to the line; mutex_ is held.
  void WriteLocked(std::string_view bytes);

  std::string path_;
#ifdef _WIN32
  void *port_ = nullptr;   // our COM port (a HANDLE)
  void *claim_ = nullptr;  // a named mutex that holds the pair for us
  std::atomic<bool> stopping_{false};
#else
  tools::Pty pty_;
  int stop_pipe_[2] = {-1, -1};
#endif
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

// A chatty controller that never echoes: from its construction until Stop it
// reports address=1, address=2, ... one frame a millisecond (or as fast as
// the line takes them).
class ReportStream {
 public:
  ReportStream(Controller &controller, std::string address);
  ~ReportStream();
  ReportStream(const ReportStream &) = delete;
  ReportStream &operator=(const ReportStream &) = delete;
  // Stops sending; returns the number the last frame carried.
  int Stop();

 private:
  std::atomic<bool> stop_{false};
  int last_ = 0;
  std::thread thread_;
};

}  // namespace ulo::testing

#endif  // ULOPR1_TESTS_SUPPORT_CONTROLLER_H
