// ulo_bench_lines: the controllers of many lines at once, for the scale
// measurements, where one prv1sim per line would cost more than the driver.
//
// Each line is a pseudo-terminal linked as COM<first+i> in --dir. Once "go"
// arrives on stdin, every line reports back to back at the baud rate, paced
// by prv1sim's Pacer; each report's value is the line's running frame
// number, so every delivered value names its frame. Every tick (1 ms unless
// told) the bytes due go to the kernel in one write per line, the way a
// UART's receive FIFO passes them on in bursts. Bytes a line cannot take
// when they are due are lost, as on a real line whose receiver has fallen
// behind (an overrun), and counted; a frame that lost any byte is damaged.
//
// With --reports-per-second each line sends that many frames a second
// instead, at a steady interval from a random phase: sparse reports, each
// after a quiet spell.
//
// When the time is up it prints one JSON line of counts and waits for "quit"
// (or end of input) before it lets the lines go. With --timestamps every
// complete frame is logged as "NANOS LINE TEXT", NANOS being the
// CLOCK_MONOTONIC time just before the write that carried its last byte.
#include <fcntl.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <deque>
#include <filesystem>
#include <iostream>
#include <nlohmann/json.hpp>
#include <random>

#include "clock.h"
#include "frame.h"
#include "points.h"
#include "pty.h"
#include "serial_line.h"

namespace {

constexpr std::size_t kQueuedBytes = 512;  // kept ready on every line
constexpr unsigned kBitsPerChar = 10;      // 8N1
constexpr int kDrainEveryTicks = 500;      // what the driver sends is read

struct Frame {
  std::string bytes;
  std::size_t sent = 0;
  bool damaged = false;
};

struct Line {
  ulo::tools::Pty pty;
  prv1sim::Pacer pacer{9600, kBitsPerChar};
  std::deque<Frame> queue;
  std::size_t queued = 0;
  uint64_t next_number = 1;
  std::size_t next_point = 0;
  prv1sim::Pacer::Clock::time_point next_report{};  // sparse reports only
  uint64_t frames = 0;
  uint64_t damaged = 0;
  uint64_t bytes = 0;
  uint64_t overrun_bytes = 0;
};

struct Options {
  std::string dir;
  int lines = 1;
  int first = 1;
  unsigned baud = 9600;
  double seconds = 10;
  int tick_us = 1000;
  double reports_per_second = 0;  // 0: back to back at the line rate
  std::string timestamps;
};

class Lines {
 public:
  explicit Lines(const Options &options) : options_(options) {
    for (const prv1sim::Point &point : prv1sim::BuiltinPoints()) {
      addresses_.push_back(point.address);
    }
  }
  ~Lines() {
    for (Line &line : lines_) ulo::tools::ClosePty(line.pty);
    if (stamps_ != nullptr) std::fclose(stamps_);
  }

  bool Open(std::string &error) {
    lines_.resize(static_cast<std::size_t>(options_.lines));
    for (std::size_t i = 0; i < lines_.size(); ++i) {
      Line &line = lines_[i];
      if (!ulo::tools::OpenPty(line.pty, error)) return false;
      fcntl(line.pty.master, F_SETFL, O_NONBLOCK);
      line.pacer = prv1sim::Pacer(options_.baud, kBitsPerChar);
      std::filesystem::path link =
          std::filesystem::path(options_.dir) /
          ("COM" + std::to_string(options_.first + static_cast<int>(i)));
      std::filesystem::remove(link);
      std::filesystem::create_symlink(line.pty.path, link);
    }
    if (!options_.timestamps.empty()) {
      stamps_ = std::fopen(options_.timestamps.c_str(), "w");
      if (stamps_ == nullptr) {
        error = "cannot write " + options_.timestamps;
        return false;
      }
    }
    return true;
  }

  nlohmann::json Run() {
    using Clock = prv1sim::Pacer::Clock;
    const auto tick = std::chrono::microseconds(options_.tick_us);
    const Clock::time_point start = Clock::now();
    const Clock::time_point end =
        start + std::chrono::duration_cast<Clock::duration>(
                    std::chrono::duration<double>(options_.seconds));
    int64_t cpu_start = bench::ProcessCpuNanos();
    if (options_.reports_per_second > 0) {
      std::mt19937 random(1);
      std::uniform_real_distribution<double> phase(0, 1);
      for (Line &line : lines_) {
        line.next_report = start + std::chrono::duration_cast<Clock::duration>(
                                       Interval() * phase(random));
      }
    }
    Clock::time_point next = start;
    int64_t late_max_ns = 0;
    for (int ticks = 0;; ++ticks) {
      Clock::time_point now = Clock::now();
      if (now >= end) break;
      late_max_ns = std::max<int64_t>(
          late_max_ns, std::chrono::nanoseconds(now - next).count());
      for (std::size_t i = 0; i < lines_.size(); ++i) {
        Send(i, lines_[i], now);
        if (ticks % kDrainEveryTicks == 0) Drain(lines_[i]);
      }
      next += tick;
      if (next < now) next = now + tick;  // a late tick does not pile up
      timespec at = ToTimespec(next);
      clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr);
    }
    double seconds =
        std::chrono::duration<double>(Clock::now() - start).count();
    nlohmann::json done = {{"event", "done"},
                           {"lines", lines_.size()},
                           {"seconds", seconds},
                           {"cpu_ns", bench::ProcessCpuNanos() - cpu_start},
                           {"late_max_ns", late_max_ns}};
    uint64_t frames = 0, damaged = 0, bytes = 0, overrun = 0;
    uint64_t fewest = UINT64_MAX;
    for (const Line &line : lines_) {
      frames += line.frames;
      damaged += line.damaged;
      bytes += line.bytes;
      overrun += line.overrun_bytes;
      fewest = std::min(fewest, line.frames);
    }
    done["frames"] = frames;
    done["damaged"] = damaged;
    done["bytes"] = bytes;
    done["overrun_bytes"] = overrun;
    done["fewest_frames_on_a_line"] = fewest;
    done["line_rate_share"] =
        static_cast<double>(bytes) * kBitsPerChar /
        (seconds * options_.baud * static_cast<double>(lines_.size()));
    if (stamps_ != nullptr) std::fflush(stamps_);
    return done;
  }

 private:
  static timespec ToTimespec(prv1sim::Pacer::Clock::time_point at) {
    auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(
                     at.time_since_epoch())
                     .count();
    return {static_cast<time_t>(nanos / 1000000000),
            static_cast<long>(nanos % 1000000000)};
  }

  prv1sim::Pacer::Clock::duration Interval() const {
    return std::chrono::duration_cast<prv1sim::Pacer::Clock::duration>(
        std::chrono::duration<double>(1 / options_.reports_per_second));
  }

  // Keeps the line's queue full, or with sparse reports queues the reports
  // that are due.
  void TopUp(Line &line, prv1sim::Pacer::Clock::time_point now) {
    if (options_.reports_per_second > 0) {
      for (; line.next_report <= now; line.next_report += Interval()) {
        Queue(line);
      }
      return;
    }
    while (line.queued < kQueuedBytes) Queue(line);
  }

  void Queue(Line &line) {
    const std::string &address = addresses_[line.next_point];
    line.next_point = (line.next_point + 1) % addresses_.size();
    std::string text = address + "=" + std::to_string(line.next_number++);
    line.queue.push_back({prv1sim::BuildFrame("01", text)});
    line.queued += line.queue.back().bytes.size();
  }

  // Writes what is due on the line now in one write; what the line does not
  // take is lost.
  void Send(std::size_t index, Line &line,
            prv1sim::Pacer::Clock::time_point now) {
    TopUp(line, now);
    std::size_t due = line.pacer.Take(now, line.queued);
    if (due == 0) return;
    out_.clear();
    std::size_t gathered = 0;
    for (const Frame &frame : line.queue) {
      if (gathered == due) break;
      std::size_t take =
          std::min(due - gathered, frame.bytes.size() - frame.sent);
      out_.append(frame.bytes, frame.sent, take);
      gathered += take;
    }
    int64_t stamp = bench::MonotonicNanos();
    ssize_t wrote = write(line.pty.master, out_.data(), out_.size());
    std::size_t taken = wrote > 0 ? static_cast<std::size_t>(wrote) : 0;
    line.bytes += due;
    line.overrun_bytes += due - taken;
    line.queued -= due;
    for (std::size_t done = 0; done < due;) {
      Frame &frame = line.queue.front();
      std::size_t take = std::min(due - done, frame.bytes.size() - frame.sent);
      if (done + take > taken) frame.damaged = true;
      frame.sent += take;
      done += take;
      if (frame.sent < frame.bytes.size()) break;
      Finish(index, frame, stamp, line);
      line.queue.pop_front();
    }
  }

  void Finish(std::size_t index, const Frame &frame, int64_t stamp,
              Line &line) {
    if (frame.damaged) {
      ++line.damaged;
      return;
    }
    ++line.frames;
    if (stamps_ == nullptr) return;
    // STX, two header characters, the text, CR, ETX.
    std::fprintf(stamps_, "%lld %zu %.*s\n", static_cast<long long>(stamp),
                 index, static_cast<int>(frame.bytes.size() - 5),
                 frame.bytes.data() + 3);
  }

  static void Drain(Line &line) {
    char sink[256];
    while (read(line.pty.master, sink, sizeof sink) > 0) {
    }
  }

  Options options_;
  std::vector<std::string> addresses_;
  std::vector<Line> lines_;
  std::string out_;
  std::FILE *stamps_ = nullptr;
};

}  // namespace

int main(int argc, char **argv) {
  bench::RaiseFileLimit();
  Options options;
  CLI::App app{"Many paced controller lines for the ulopr1 benchmarks"};
  app.add_option("--dir", options.dir, "where the COM<N> links go")->required();
  app.add_option("--lines", options.lines)->capture_default_str();
  app.add_option("--first", options.first, "the first line is COM<N>")
      ->capture_default_str();
  app.add_option("--baud", options.baud)->capture_default_str();
  app.add_option("--seconds", options.seconds, "how long to send")
      ->capture_default_str();
  app.add_option("--tick-us", options.tick_us,
                 "how often the bytes due are handed on")
      ->capture_default_str();
  app.add_option("--reports-per-second", options.reports_per_second,
                 "sparse reports on every line (default: back to back)");
  app.add_option("--timestamps", options.timestamps,
                 "log every complete frame here");
  CLI11_PARSE(app, argc, argv);

  Lines lines(options);
  std::string error;
  if (!lines.Open(error)) {
    std::cout << nlohmann::json{{"event", "error"}, {"error", error}}.dump()
              << std::endl;
    return 1;
  }
  std::cout << nlohmann::json{{"event", "ready"}}.dump() << std::endl;
  std::string command;
  if (!std::getline(std::cin, command) || command != "go") return 0;
  std::cout << lines.Run().dump() << std::endl;
  while (std::getline(std::cin, command) && command != "quit") {
  }
  return 0;
}
