// The soak: many driver instances in one host process, each on its own
// pseudo-terminal with a simulated controller that reports at line rate,
// while host threads write gates. At the end every report the simulators
// sent must have reached its gate exactly once, every write must have been
// confirmed, and the process's descriptors, threads and memory must have
// stayed flat once the instances were running.
//
//   ulo_soak [--instances 64] [--seconds 60] [--baud 9600] [--writers 4]
//            [--report FILE]
#include <stdlib.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "platform/syscall_faults.h"
#include "points.h"
#include "process_stats.h"
#include "simulator.h"
#include "ulopr1/ulo.h"
#include "zempro/control.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

struct Settings {
  int instances = 64;
  double seconds = 60;
  unsigned baud = 9600;
  int writers = 4;
  std::string report;
};

// One driver instance and the controller at the other end of its line.
struct Instance {
  int ulo = 0;
  alignas(8) unsigned char workspace[ULO_WORKSPACE_SIZE] = {};
  std::unique_ptr<prv1sim::Simulator> controller;
  std::thread line;  // runs the controller
  bool line_ok = true;
  std::string line_error;
  int writes = 0;
  int confirmed = 0;
};

struct Sample {
  double at;  // seconds since the instances were started
  int fds;
  int threads;
  int64_t rss_kib;
};

int32_t Call(Instance &instance, int32_t command, void *args) {
  UloRequest request{instance.workspace, command, instance.ulo, 0, args};
  return UloMain(&request);
}

std::string PortName(int ulo) { return "PLC" + std::to_string(ulo); }

// The host's log, counted: every class-8 and class-32 text, with the
// instance numbers in it, is kept with its count (few distinct texts).
class LogCounts {
 public:
  LogCounts() {
    sink_ = zempro::AddLogSink([this](const zempro::LogRecord &record) {
      std::lock_guard lock(mutex_);
      if (record.message_class == ZEM_CLASS_TRACE &&
          record.text.find(" received from ULO ") != std::string::npos) {
        ++received_;
        return;
      }
      if (texts_.size() < 200 || texts_.count(record.text))
        ++texts_[record.text];
    });
  }
  ~LogCounts() { zempro::RemoveLogSink(sink_); }
  nlohmann::json ToJson() const {
    std::lock_guard lock(mutex_);
    nlohmann::json out;
    out["received_traces"] = received_;
    for (const auto &[text, count] : texts_) out["other"][text] = count;
    return out;
  }

 private:
  mutable std::mutex mutex_;
  uint64_t received_ = 0;
  std::map<std::string, uint64_t> texts_;
  int sink_ = 0;
};

bool OpenLine(Instance &instance, const Settings &settings,
              const std::vector<prv1sim::Point> &points,
              const std::atomic<bool> &stop) {
  prv1sim::Options options;
  options.line.baud = settings.baud;
  options.rate = 10000;  // more than the line carries: line rate
  options.seed = static_cast<uint32_t>(instance.ulo);
  instance.controller = std::make_unique<prv1sim::Simulator>(
      options, points, [](const std::string &) {});
  std::string error;
  if (!instance.controller->Open(error)) {
    std::fprintf(stderr, "ulo_soak: %s\n", error.c_str());
    return false;
  }
  std::filesystem::create_symlink(instance.controller->path(),
                                  PortName(instance.ulo));
  instance.line = std::thread([&instance, &stop] {
    instance.line_ok = instance.controller->Run(stop, instance.line_error);
  });
  return true;
}

// Command 1 and command 3 for every gate, as a host starts an instance.
bool StartInstance(Instance &instance, const Settings &settings,
                   const std::vector<prv1sim::Point> &points) {
  StartParameters start{};
  std::snprintf(start.port, sizeof start.port, "%s",
                PortName(instance.ulo).c_str());
  start.enabled = 1;
  start.read_timeout = 100;
  start.line = LineSettings{static_cast<uint16_t>(settings.baud), 8, 0, 0};
  if (Call(instance, ULO_CMD_START, &start) != ULO_DONE) return false;
  for (const prv1sim::Point &point : points) {
    GateDefinition gate{};
    gate.address = point.address.c_str();
    gate.type = point.address[0] == '$' ? ULO_TYPE_FLOAT : ULO_TYPE_DIGITAL;
    if (Call(instance, ULO_CMD_CHECK_GATE, &gate) != ULO_DONE) return false;
  }
  return true;
}

// Writes alternately a setpoint and a digital output, as an operator would.
int32_t WriteOnce(Instance &instance, int round) {
  unsigned char value[8] = {};
  GateAccess gate{};
  gate.value = value;
  if (round % 2 == 0) {
    float setpoint = 18.0f + float(round % 16) * 0.5f;
    std::memcpy(value, &setpoint, sizeof setpoint);
    gate.address = "$SP1";
    gate.type = ULO_TYPE_FLOAT;
  } else {
    uint16_t on = uint16_t(round / 2 % 2);
    std::memcpy(value + 2, &on, sizeof on);
    gate.address = "@DO1";
    gate.type = ULO_TYPE_DIGITAL;
  }
  return Call(instance, ULO_CMD_WRITE_GATE, &gate);
}

uint64_t HostDeliveries() {
  uint64_t total = 0;
  for (const zempro::GateInfo &gate : zempro::Gates()) {
    if (auto value = zempro::ReadGateById(gate.id)) total += value->updates;
  }
  return total;
}

Sample Measure(Clock::time_point begin) {
  return {std::chrono::duration<double>(Clock::now() - begin).count(),
          ulo::sys::OpenFdCount(), ulo::testing::ThreadCount(),
          ulo::testing::ResidentKiB()};
}

struct Check {
  std::string name;
  bool passed;
  std::string detail;
};

void AddOptions(CLI::App &app, Settings &settings) {
  app.add_option("--instances", settings.instances, "driver instances")
      ->check(CLI::Range(1, 200))
      ->capture_default_str();
  app.add_option("--seconds", settings.seconds, "length of the run")
      ->check(CLI::PositiveNumber)
      ->capture_default_str();
  app.add_option("--baud", settings.baud, "line speed of every instance")
      ->check(CLI::IsMember({1200u, 2400u, 4800u, 9600u, 19200u, 38400u}))
      ->capture_default_str();
  app.add_option("--writers", settings.writers,
                 "host threads writing gates, each for its share of the "
                 "instances")
      ->check(CLI::Range(1, 64))
      ->capture_default_str();
  app.add_option("--report", settings.report, "write the figures as JSON here");
}

// Numbers the instances and gives each its gates in the host runtime, its
// init file and its controller's line.
bool PrepareInstances(std::vector<Instance> &instances,
                      const Settings &settings,
                      const std::vector<prv1sim::Point> &points,
                      const std::atomic<bool> &stop) {
  for (size_t i = 0; i < instances.size(); ++i) {
    Instance &instance = instances[i];
    instance.ulo = static_cast<int>(i) + 1;
    for (const prv1sim::Point &point : points) {
      zempro::DefineGate(
          static_cast<uint8_t>(instance.ulo), point.address,
          point.address[0] == '$' ? ULO_TYPE_FLOAT : ULO_TYPE_DIGITAL);
    }
    char init[32];
    std::snprintf(init, sizeof init, ULO_INIT_FILE_FORMAT, instance.ulo);
    std::ofstream(init) << "R\n";
    if (!OpenLine(instance, settings, points, stop)) return false;
  }
  return true;
}

// How the starts went.
struct Starts {
  std::atomic<int> started{0};
  std::atomic<int> failures{0};
};

// Host threads: each starts its share of the instances, then writes their
// gates in turn until end.
std::vector<std::thread> StartWriters(std::vector<Instance> &instances,
                                      const Settings &settings,
                                      const std::vector<prv1sim::Point> &points,
                                      Clock::time_point end, Starts &starts) {
  std::vector<std::thread> writers;
  for (int w = 0; w < settings.writers; ++w) {
    writers.emplace_back([&, w, end] {
      std::vector<Instance *> mine;
      for (size_t i = size_t(w); i < instances.size();
           i += size_t(settings.writers))
        mine.push_back(&instances[i]);
      for (Instance *instance : mine) {
        if (!StartInstance(*instance, settings, points)) ++starts.failures;
        ++starts.started;
      }
      for (int round = 0; Clock::now() < end; ++round) {
        for (Instance *instance : mine) {
          if (Clock::now() >= end) break;
          ++instance->writes;
          if (WriteOnce(*instance, round) == ULO_DONE) ++instance->confirmed;
        }
      }
    });
  }
  return writers;
}

// Once a second until the end of the run.
std::vector<Sample> SampleUntil(Clock::time_point begin,
                                Clock::time_point end) {
  std::vector<Sample> samples;
  for (;;) {
    std::this_thread::sleep_for(1s);
    if (Clock::now() >= end) break;  // the writers begin to leave
    samples.push_back(Measure(begin));
  }
  return samples;
}

// After the controllers have stopped, what they sent whole is on the line
// and must arrive: the host's count once it has been still for 3 s (or 60 s
// after the writes ended).
uint64_t SettledDeliveries(Clock::time_point writes_done) {
  uint64_t delivered = HostDeliveries();
  for (auto quiet_since = Clock::now();
       Clock::now() - quiet_since < 3s && Clock::now() - writes_done < 60s;) {
    std::this_thread::sleep_for(200ms);
    uint64_t now = HostDeliveries();
    if (now != delivered) quiet_since = Clock::now();
    delivered = now;
  }
  return delivered;
}

// Counts, per instance and address.
struct Tally {
  uint64_t sent = 0;        // reports the controllers sent
  uint64_t mismatched = 0;  // gates whose deliveries differ from them
  nlohmann::json mismatches = nlohmann::json::array();  // the first 20
  int writes = 0;
  int confirmed = 0;
  int lines_failed = 0;
};

Tally Count(const std::vector<Instance> &instances,
            const std::vector<prv1sim::Point> &points) {
  Tally tally;
  for (const Instance &instance : instances) {
    tally.writes += instance.writes;
    tally.confirmed += instance.confirmed;
    if (!instance.line_ok) {
      ++tally.lines_failed;
      std::fprintf(stderr, "ulo_soak: line of %d: %s\n", instance.ulo,
                   instance.line_error.c_str());
    }
    const prv1sim::Stats &stats = instance.controller->stats();
    for (const prv1sim::Point &point : points) {
      auto counted = stats.addresses.find(point.address);
      uint64_t reports =
          counted == stats.addresses.end() ? 0 : counted->second.reports;
      auto value =
          zempro::ReadGate(static_cast<uint8_t>(instance.ulo), point.address);
      uint64_t updates = value ? value->updates : 0;
      tally.sent += reports;
      if (reports != updates) {
        ++tally.mismatched;
        if (tally.mismatches.size() < 20) {
          tally.mismatches.push_back({{"ulo", instance.ulo},
                                      {"address", point.address},
                                      {"sent", reports},
                                      {"delivered", updates}});
        }
      }
    }
  }
  return tally;
}

std::vector<Check> OutcomeChecks(const Settings &settings, const Starts &starts,
                                 const Tally &tally, uint64_t delivered) {
  return {
      {"instances started",
       starts.started == settings.instances && starts.failures == 0,
       std::to_string(starts.failures.load()) + " failed"},
      {"controller lines kept", tally.lines_failed == 0,
       std::to_string(tally.lines_failed) + " failed"},
      {"every report delivered exactly once",
       tally.mismatched == 0 && tally.sent > 0,
       std::to_string(tally.sent) + " sent, " + std::to_string(delivered) +
           " delivered, " + std::to_string(tally.mismatched) +
           " counts differ"},
      {"every write confirmed",
       tally.writes > 0 && tally.confirmed == tally.writes,
       std::to_string(tally.confirmed) + " of " + std::to_string(tally.writes)},
  };
}

// Flat: from the end of the warm-up (the first fifth of the run, at least
// until every instance runs) to the end of the run. The figures go to the
// report.
void CheckFlat(const std::vector<Sample> &samples, const Settings &settings,
               std::vector<Check> &checks, nlohmann::json &figures) {
  double warm = std::max(settings.seconds / 5, 2.0);
  auto first = std::find_if(samples.begin(), samples.end(),
                            [&](const Sample &s) { return s.at >= warm; });
  if (first == samples.end()) {
    checks.push_back({"samples after the warm-up", false, "none"});
    return;
  }
  auto [fd_low, fd_high] = std::minmax_element(
      first, samples.end(),
      [](const Sample &a, const Sample &b) { return a.fds < b.fds; });
  auto [th_low, th_high] = std::minmax_element(
      first, samples.end(),
      [](const Sample &a, const Sample &b) { return a.threads < b.threads; });
  int64_t rss_start = first->rss_kib;
  int64_t rss_end = samples.back().rss_kib;
  int64_t rss_allowed = std::max<int64_t>(4096, rss_start / 20);
  checks.push_back(
      {"file descriptors flat", fd_low->fds == fd_high->fds,
       std::to_string(fd_low->fds) + ".." + std::to_string(fd_high->fds)});
  checks.push_back({"threads flat", th_low->threads == th_high->threads,
                    std::to_string(th_low->threads) + ".." +
                        std::to_string(th_high->threads)});
  checks.push_back({"memory flat", rss_end - rss_start <= rss_allowed,
                    std::to_string(rss_start) + " KiB to " +
                        std::to_string(rss_end) + " KiB"});
  figures["fds"] = {fd_low->fds, fd_high->fds};
  figures["threads"] = {th_low->threads, th_high->threads};
  figures["rss_kib"] = {rss_start, rss_end};
}

// The host stops every client: the receivers end and the instances give
// their ports and events back.
Check StopAll(std::vector<Instance> &instances, int before_fds, int line_fds) {
  zempro::StopAllClients();
  auto stop_begin = Clock::now();
  while (!zempro::Clients().empty() && Clock::now() - stop_begin < 30s)
    std::this_thread::sleep_for(50ms);
  for (Instance &instance : instances)
    Call(instance, ULO_CMD_UNSUPPORTED, nullptr);
  int after_fds = ulo::sys::OpenFdCount();
  return {
      "everything given back after the stop",
      zempro::Clients().empty() && after_fds == before_fds + line_fds,
      std::to_string(after_fds - before_fds - line_fds) + " descriptors left"};
}

// The figures of the run; the checks are added to it.
nlohmann::json Report(const Settings &settings, double run_seconds,
                      const Tally &tally, uint64_t delivered,
                      const LogCounts &log, const nlohmann::json &figures) {
  return {
      {"instances", settings.instances},
      {"baud", settings.baud},
      {"writers", settings.writers},
      {"seconds", run_seconds},
      {"reports_sent", tally.sent},
      {"reports_delivered", delivered},
      {"reports_per_second", double(delivered) / run_seconds},
      {"writes", tally.writes},
      {"writes_confirmed", tally.confirmed},
      {"mismatches", tally.mismatches},
      {"log", log.ToJson()},
      {"figures", figures},
  };
}

// Prints every check and adds it to the report; returns how many passed.
int PrintChecks(const std::vector<Check> &checks, nlohmann::json &report) {
  int passed = 0;
  for (const Check &check : checks) {
    std::printf("%-40s %s  %s\n", check.name.c_str(),
                check.passed ? "ok  " : "FAIL", check.detail.c_str());
    report["checks"][check.name] = {{"passed", check.passed},
                                    {"detail", check.detail}};
    passed += check.passed;
  }
  return passed;
}

}  // namespace

int main(int argc, char **argv) {
  Settings settings;
  CLI::App app{"Soak: many driver instances against simulated controllers"};
  AddOptions(app, settings);
  CLI11_PARSE(app, argc, argv);

  char pattern[] = "/tmp/ulo-soak-XXXXXX";
  if (!mkdtemp(pattern) || chdir(pattern) != 0) {
    std::perror("ulo_soak: working folder");
    return 1;
  }
  setenv("ULO_PORT_DIR", pattern, 1);
  zempro::SetWaitRange(10, 100);
  LogCounts log;

  const std::vector<prv1sim::Point> points = prv1sim::BuiltinPoints();
  std::vector<Instance> instances(static_cast<size_t>(settings.instances));
  std::atomic<bool> stop_lines{false};
  int before_fds = ulo::sys::OpenFdCount();
  if (!PrepareInstances(instances, settings, points, stop_lines)) return 1;
  int line_fds = ulo::sys::OpenFdCount() - before_fds;

  auto begin = Clock::now();
  auto end = begin + std::chrono::duration_cast<Clock::duration>(
                         std::chrono::duration<double>(settings.seconds));
  Starts starts;
  std::vector<std::thread> writers =
      StartWriters(instances, settings, points, end, starts);
  std::vector<Sample> samples = SampleUntil(begin, end);
  for (std::thread &writer : writers) writer.join();
  auto writes_done = Clock::now();

  stop_lines = true;
  for (Instance &instance : instances) instance.line.join();
  uint64_t delivered = SettledDeliveries(writes_done);
  double run_seconds =
      std::chrono::duration<double>(writes_done - begin).count();

  Tally tally = Count(instances, points);
  std::vector<Check> checks = OutcomeChecks(settings, starts, tally, delivered);
  nlohmann::json figures;
  CheckFlat(samples, settings, checks, figures);
  checks.push_back(StopAll(instances, before_fds, line_fds));

  nlohmann::json report =
      Report(settings, run_seconds, tally, delivered, log, figures);
  int passed = PrintChecks(checks, report);
  std::printf(
      "%d instances at %u baud for %.0f s: %.0f reports/s delivered, %d "
      "writes\n",
      settings.instances, settings.baud, run_seconds,
      double(delivered) / run_seconds, tally.writes);
  if (!settings.report.empty())
    std::ofstream(settings.report) << report.dump(2);
  std::filesystem::current_path("/");
  std::filesystem::remove_all(pattern);
  int failed = int(checks.size()) - passed;
  std::printf("soak: %d of %zu checks passed\n", passed, checks.size());
  return failed == 0 ? 0 : 1;
}
