// The simulated controller: owns the line (a new pseudo-terminal or a serial
// device), keeps the points, answers what the driver sends and reports
// changes by exception, with optional faults.
#ifndef ULOPR1_TOOLS_PRV1SIM_SIMULATOR_H
#define ULOPR1_TOOLS_PRV1SIM_SIMULATOR_H

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <ostream>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "line.h"
#include "points.h"
#include "pty.h"
#include "serial_line.h"
#include "stats.h"

namespace prv1sim {

enum class EchoMode { kFaithful, kGarble, kNone };

struct Options {
  std::string device;  // empty: a new pseudo-terminal
  std::string link;    // symlink kept pointing at the pseudo-terminal
  LineSettings line;
  double rate = 1.0;  // spontaneous reports per second; 0 for none
  std::string header = "01";
  // When set, only this text is taken as the restart message and other
  // lines are ignored; otherwise every line that is not a write is.
  std::optional<std::string> restart_message;
  bool report_writes = true;  // report a point a write has changed
  std::uint32_t seed = 1;

  // Faults.
  bool silent = false;  // send nothing at all
  EchoMode echo = EchoMode::kFaithful;
  std::uint64_t echo_fail_count = 0;  // faulty echoes before good ones; 0: all
  std::uint64_t error_every = 0;      // ERROR reply after every Nth report
  int error_code = 13;
  bool noise = false;              // stray bytes before frames
  std::uint64_t no_etx_every = 0;  // every Nth report without ETX
  double vanish_after = -1;        // seconds from start; < 0: never
  double return_after = -1;        // seconds after vanishing; < 0: never
  double duration = -1;            // seconds; < 0: until stopped
};

class Simulator {
 public:
  // announce receives the machine-readable lines ("prv1sim: listening on
  // PATH", "prv1sim: vanished PATH"); verbose, when given, the traffic;
  // timestamps, when given, a line "NANOSECONDS TEXT" for every complete
  // report frame, the time being that of the write that carried its last
  // byte, taken just before it (steady clock, which is CLOCK_MONOTONIC, so
  // other processes can compare).
  Simulator(Options options, std::vector<Point> points,
            std::function<void(const std::string &)> announce,
            std::ostream *verbose = nullptr,
            std::ostream *timestamps = nullptr);
  ~Simulator();
  Simulator(const Simulator &) = delete;
  Simulator &operator=(const Simulator &) = delete;

  // Opens the line and announces it.
  bool Open(std::string &error);

  // Serves the line until stop is set or the duration has passed. Returns
  // false with error set when the line fails.
  bool Run(const std::atomic<bool> &stop, std::string &error);

  const Stats &stats() const { return stats_; }
  const std::string &path() const { return path_; }

 private:
  using Clock = std::chrono::steady_clock;

  enum class Item {
    kReport,
    kRestart,
    kWrite,
    kError,
    kNoEtx,
    kEcho,
    kGarbled,
    kNoise
  };
  struct Outgoing {
    std::string bytes;
    Item item;
    std::string address;
    std::size_t sent = 0;
    Clock::time_point written{};  // when its last write began
    bool IsEcho() const {
      return item == Item::kEcho || item == Item::kGarbled;
    }
  };

  bool OpenLine(std::string &error);
  void CloseLine();
  bool MakeLink(std::string &error);
  void RemoveLink();
  void Vanish();

  bool Receive(Clock::time_point now, std::string &error);
  void Handle(const ReceivedLine &line);
  void Tick(Clock::time_point now);
  bool Send(Clock::time_point now, std::string &error);
  bool LineInProgress(Clock::time_point now) const;

  void QueueFrame(Item item, const std::string &text,
                  const std::string &address, bool with_etx = true);
  void QueueEcho(Item item, std::string bytes);
  void Complete(const Outgoing &out);
  void Trace(std::string_view direction, std::string_view bytes);
  void Stamp(const Outgoing &out);

  Options options_;
  PointSet points_;
  std::function<void(const std::string &)> announce_;
  std::ostream *verbose_;
  std::ostream *timestamps_;
  std::mt19937 random_;
  Pacer pacer_;

  ulo::tools::Pty pty_;
  int device_fd_ = -1;
  int fd_ = -1;  // the line we serve, -1 while it has vanished
  std::string path_;
  bool link_made_ = false;

  LineAssembler assembler_;
  Clock::time_point last_received_{};
  std::deque<Outgoing> queue_;
  std::uint64_t report_count_ = 0;
  std::uint64_t faulty_echoes_ = 0;
  Stats stats_;
};

}  // namespace prv1sim

#endif  // ULOPR1_TOOLS_PRV1SIM_SIMULATOR_H
