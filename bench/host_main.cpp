// ulo_bench_host: the host side of the benchmarks.
//
//   run    starts instances on ports COM<first>.. in --dir (or on lines of
//          its own with --own-lines), then answers commands on stdin, one a
//          line: "mark" prints the clocks and counts, "dump PATH" writes the
//          delivered values, "quit" (or end of input) stops. Every answer
//          is one JSON line on stdout.
//   write  one instance on a line of its own whose controller, on this
//          program's thread, stamps every byte and echoes each write;
//          prints the pace of the characters and each write's round trip.
#include <poll.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>

#include "allocations.h"
#include "fleet.h"
#include "points.h"
#include "pty.h"

namespace {

using nlohmann::json;

void Say(const json &line) { std::cout << line.dump() << std::endl; }

int Fail(const std::string &error) {
  Say({{"event", "error"}, {"error", error}});
  return 1;
}

std::vector<std::string> BuiltinAddresses() {
  std::vector<std::string> addresses;
  for (const prv1sim::Point &point : prv1sim::BuiltinPoints()) {
    addresses.push_back(point.address);
  }
  return addresses;
}

// Lines this program serves itself: pseudo-terminals linked as
// COM<first>.. in dir, with nobody writing on them.
class OwnLines {
 public:
  bool Open(const std::string &dir, int first, int count, std::string &error) {
    for (int i = 0; i < count; ++i) {
      ulo::tools::Pty pty;
      if (!ulo::tools::OpenPty(pty, error)) return false;
      std::filesystem::path link =
          std::filesystem::path(dir) / ("COM" + std::to_string(first + i));
      std::filesystem::remove(link);
      std::filesystem::create_symlink(pty.path, link);
      ptys_.push_back(pty);
    }
    return true;
  }
  ~OwnLines() {
    for (ulo::tools::Pty &pty : ptys_) ulo::tools::ClosePty(pty);
  }
  int master(int index) const { return ptys_[index].master; }

 private:
  std::vector<ulo::tools::Pty> ptys_;
};

void ApplyWait(const std::vector<int> &wait) {
  if (wait.size() == 1) zempro::SetWaitMilliseconds(wait[0]);
  if (wait.size() == 2) zempro::SetWaitRange(wait[0], wait[1]);
}

json Mark(const bench::DeliveryLog &log) {
  json mark = {{"event", "mark"},
               {"mono_ns", bench::MonotonicNanos()},
               {"cpu_ns", bench::ProcessCpuNanos()},
               {"delivered", log.count()}};
  bench::AllocationCounts allocations = bench::CurrentAllocations();
  if (allocations.counted) {
    mark["allocations"] = {{"driver", allocations.driver},
                           {"host", allocations.host}};
  }
  return mark;
}

json GateTable(const bench::Fleet &fleet) {
  json gates = json::array();
  for (const bench::Fleet::GateRow &row : fleet.gates()) {
    gates.push_back({row.id, row.instance, row.address});
  }
  return gates;
}

int Run(bench::FleetOptions options, const std::string &dir, bool own_lines,
        std::size_t capacity) {
  OwnLines lines;
  std::string error;
  if (own_lines &&
      !lines.Open(dir, options.first_port, options.instances, error)) {
    return Fail(error);
  }
  bench::DeliveryLog log(capacity);
  bench::Fleet fleet;
  if (!fleet.Load(options, error) || !fleet.Start(error)) return Fail(error);
  Say({{"event", "ready"},
       {"wait_ms", zempro::WaitMilliseconds()},
       {"gates", GateTable(fleet)}});
  std::string command;
  while (std::getline(std::cin, command) && command != "quit") {
    if (command == "mark") {
      Say(Mark(log));
    } else if (command.rfind("dump ", 0) == 0) {
      Say({{"event", "dumped"}, {"kept", log.Dump(command.substr(5))}});
    } else {
      Say({{"event", "error"}, {"error", "unknown command " + command}});
    }
  }
  fleet.Stop();
  Say({{"event", "stopped"}});
  return 0;
}

// The controller of the write measurement: stamps every byte the driver
// sends and echoes each line at its carriage return, as the controller
// does.
class EchoingController {
 public:
  explicit EchoingController(int master)
      : master_(master), thread_([this] { Serve(); }) {}
  ~EchoingController() {
    stop_ = true;
    thread_.join();
  }
  // The arrival times of the bytes since the last call.
  std::vector<int64_t> Take() {
    std::lock_guard lock(mutex_);
    return std::exchange(arrivals_, {});
  }

 private:
  void Serve() {
    std::string line;
    while (!stop_) {
      pollfd watch{master_, POLLIN, 0};
      if (poll(&watch, 1, 50) <= 0) continue;
      char byte;
      if (read(master_, &byte, 1) != 1) continue;
      int64_t now = bench::MonotonicNanos();
      {
        std::lock_guard lock(mutex_);
        arrivals_.push_back(now);
      }
      line += byte;
      if (byte != '\r') continue;
      std::size_t start = line.find_first_of("$@");
      if (start != std::string::npos) {
        std::string echo = line.substr(start);
        if (write(master_, echo.data(), echo.size()) < 0) return;
      }
      line.clear();
    }
  }

  int master_;
  std::mutex mutex_;
  std::vector<int64_t> arrivals_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

int Write(bench::FleetOptions options, const std::string &dir, int writes) {
  options.instances = 1;
  OwnLines lines;
  std::string error;
  if (!lines.Open(dir, options.first_port, 1, error)) return Fail(error);
  EchoingController controller(lines.master(0));
  bench::Fleet fleet;
  if (!fleet.Load(options, error) || !fleet.Start(error)) return Fail(error);
  controller.Take();  // the restart message
  json results = json::array();
  for (int i = 0; i < writes; ++i) {
    // Digital and floating-point writes in turn: short and long lines.
    bool digital = i % 2 == 0;
    int64_t start = bench::MonotonicNanos();
    int32_t result = fleet.instance(0).Write(
        digital ? "@DO1" : "$SP1", digital ? ULO_TYPE_DIGITAL : ULO_TYPE_FLOAT,
        digital ? (i / 2) % 2 : 20.0 + i);
    int64_t end = bench::MonotonicNanos();
    json arrivals = json::array();
    for (int64_t at : controller.Take()) arrivals.push_back(at - start);
    results.push_back({{"result", result},
                       {"round_trip_ns", end - start},
                       {"arrivals_ns", arrivals}});
  }
  fleet.Stop();
  Say({{"event", "writes"}, {"writes", results}});
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  bench::RaiseFileLimit();
  bench::FleetOptions options;
  options.driver_path = ULO_BENCH_DRIVER;
  options.addresses = BuiltinAddresses();
  std::string dir;
  bool own_lines = false;
  std::size_t capacity = 4000000;
  std::vector<int> wait;
  int writes = 10;

  CLI::App app{"Benchmark host for the ulopr1 driver"};
  app.require_subcommand(1);
  app.add_option("--driver", options.driver_path, "the driver library")
      ->capture_default_str();
  app.add_option("--dir", dir,
                 "the port folder (ULO_PORT_DIR), also the "
                 "working folder for the init files")
      ->required();
  app.add_option("--first-port", options.first_port, "ports are COM<N>..")
      ->capture_default_str();
  app.add_option("--baud", options.baud, "the line's baud rate")
      ->capture_default_str();
  app.add_option("--wait", wait,
                 "the host's wait in ms: one value, or the shortest and "
                 "longest of an adaptive wait (default: the host's)")
      ->expected(1, 2);
  CLI::App *run = app.add_subcommand("run", "start instances and measure");
  run->add_option("--instances", options.instances)->capture_default_str();
  run->add_flag("--own-lines", own_lines,
                "serve quiet lines of its own instead of --dir's");
  run->add_option("--capacity", capacity, "deliveries kept for the dump")
      ->capture_default_str();
  CLI::App *write = app.add_subcommand("write", "measure confirmed writes");
  write->add_option("--writes", writes)->capture_default_str();
  CLI11_PARSE(app, argc, argv);

  setenv("ULO_PORT_DIR", dir.c_str(), 1);
  if (chdir(dir.c_str()) != 0) return Fail("cannot enter " + dir);
  ApplyWait(wait);
  if (*run) return Run(options, dir, own_lines, capacity);
  return Write(options, dir, writes);
}
