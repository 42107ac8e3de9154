// prv1sim: a PRV1 controller on a pseudo-terminal or a serial device.
#include <CLI/CLI.hpp>
#include <atomic>
#include <csignal>
#include <fstream>
#include <iostream>
#include <map>

#include "points.h"
#include "simulator.h"

namespace {

std::atomic<bool> stop_requested{false};

void RequestStop(int) { stop_requested.store(true); }

void Announce(const std::string &line) { std::cout << line << std::endl; }

// What the command line sets: the simulator's options and the program's own.
struct CommandLine {
  prv1sim::Options options;
  std::string points_file, stats_file, timestamps_file, restart_message;
  bool verbose = false, no_report_writes = false;
};

// The line served and its settings.
void AddLineOptions(CLI::App &app, prv1sim::Options &options) {
  using prv1sim::Parity;
  app.add_option("--device", options.device,
                 "serve this serial device instead of a new pseudo-terminal");
  app.add_option("--link", options.link,
                 "keep a symbolic link at this path pointing at the "
                 "pseudo-terminal");
  app.add_option("--baud", options.line.baud,
                 "baud rate (also paces a "
                 "pseudo-terminal)")
      ->check(CLI::Range(50u, 4000000u))
      ->capture_default_str();
  app.add_option("--data-bits", options.line.data_bits, "5 to 8")
      ->check(CLI::Range(5u, 8u))
      ->capture_default_str();
  std::map<std::string, Parity> parities{{"none", Parity::kNone},
                                         {"odd", Parity::kOdd},
                                         {"even", Parity::kEven},
                                         {"mark", Parity::kMark},
                                         {"space", Parity::kSpace}};
  app.add_option("--parity", options.line.parity,
                 "none, odd, even, mark or space")
      ->transform(CLI::CheckedTransformer(parities, CLI::ignore_case))
      ->option_text("none|odd|even|mark|space");
  app.add_option("--stop-bits", options.line.stop_bits,
                 "1, 1.5 or 2 (1.5 is two on a serial device, which has no "
                 "half bit)")
      ->check(CLI::IsMember({1.0, 1.5, 2.0}))
      ->capture_default_str();
}

// The controller's points and how it reports them.
void AddControllerOptions(CLI::App &app, CommandLine &line) {
  prv1sim::Options &options = line.options;
  app.add_option("--points", line.points_file,
                 "TOML file of points (default: a built-in set)")
      ->check(CLI::ExistingFile);
  app.add_option("--rate", options.rate, "spontaneous reports per second")
      ->check(CLI::NonNegativeNumber)
      ->capture_default_str();
  app.add_option("--header", options.header,
                 "the two header characters of every frame")
      ->check(CLI::Validator(
          [](std::string &text) {
            return text.size() == 2 &&
                           text.find_first_of("\x02\x03\r") == std::string::npos
                       ? std::string()
                       : std::string("must be two characters");
          },
          "TWO CHARACTERS"))
      ->capture_default_str();
  app.add_option("--restart-message", line.restart_message,
                 "only this text restarts (default: any line that is not a "
                 "write)");
  app.add_flag("--no-report-writes", line.no_report_writes,
               "do not report a point a write has changed");
  app.add_option("--seed", options.seed, "seed of the random drift")
      ->capture_default_str();
}

// Faults to inject.
void AddFaultOptions(CLI::App &app, prv1sim::Options &options) {
  using prv1sim::EchoMode;
  app.add_flag("--silent", options.silent, "send nothing at all");
  std::map<std::string, EchoMode> echoes{{"ok", EchoMode::kFaithful},
                                         {"garble", EchoMode::kGarble},
                                         {"none", EchoMode::kNone}};
  app.add_option("--echo", options.echo, "ok, garble or none")
      ->transform(CLI::CheckedTransformer(echoes, CLI::ignore_case))
      ->option_text("ok|garble|none");
  app.add_option("--echo-fail-count", options.echo_fail_count,
                 "only the first N echoes fail (0: all)");
  app.add_option("--error-every", options.error_every,
                 "an ERROR reply after every Nth report");
  app.add_option("--error-code", options.error_code,
                 "the code of ERROR "
                 "replies")
      ->check(CLI::Range(1, 9999))
      ->capture_default_str();
  app.add_flag("--noise", options.noise, "stray bytes before frames");
  app.add_option("--no-etx-every", options.no_etx_every,
                 "every Nth report without ETX");
  app.add_option("--vanish-after", options.vanish_after,
                 "seconds until the line vanishes")
      ->check(CLI::NonNegativeNumber);
  app.add_option("--return-after", options.return_after,
                 "seconds after vanishing until a new line appears")
      ->check(CLI::NonNegativeNumber)
      ->needs("--vanish-after");
}

// How long to run and what to record.
void AddRunOptions(CLI::App &app, CommandLine &line) {
  app.add_option("--duration", line.options.duration, "seconds to run")
      ->check(CLI::NonNegativeNumber);
  app.add_flag("--verbose", line.verbose, "trace what is sent and received");
  app.add_option("--stats", line.stats_file, "write the counts as JSON here");
  app.add_option("--timestamps", line.timestamps_file,
                 "log every complete report frame here: CLOCK_MONOTONIC "
                 "nanoseconds of the write of its last byte, and its text");
}

// Ctrl-C and SIGTERM end the run; a reader that goes away does not.
void CatchSignals() {
  struct sigaction action {};
  action.sa_handler = RequestStop;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

bool WriteStats(const std::string &path, const prv1sim::Stats &stats) {
  std::ofstream out(path);
  out << prv1sim::ToJson(stats).dump(2) << '\n';
  if (!out) {
    std::cerr << "prv1sim: cannot write " << path << '\n';
    return false;
  }
  return true;
}

// Serves the line until stopped, then says and writes what happened.
// Returns the exit code.
int Simulate(const CommandLine &line, std::vector<prv1sim::Point> points) {
  std::ofstream timestamps;
  if (!line.timestamps_file.empty()) {
    timestamps.open(line.timestamps_file);
    if (!timestamps) {
      std::cerr << "prv1sim: cannot write " << line.timestamps_file << '\n';
      return 2;
    }
  }
  prv1sim::Simulator simulator(line.options, std::move(points), Announce,
                               line.verbose ? &std::cerr : nullptr,
                               timestamps.is_open() ? &timestamps : nullptr);
  std::string error;
  if (!simulator.Open(error)) {
    std::cerr << "prv1sim: " << error << '\n';
    return 1;
  }
  bool ok = simulator.Run(stop_requested, error);
  if (!ok) std::cerr << "prv1sim: " << error << '\n';
  std::cerr << prv1sim::Summary(simulator.stats()) << std::endl;
  if (!line.stats_file.empty() &&
      !WriteStats(line.stats_file, simulator.stats())) {
    return 1;
  }
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
  CommandLine line;
  CLI::App app{"PRV1 controller simulator"};
  AddLineOptions(app, line.options);
  AddControllerOptions(app, line);
  AddFaultOptions(app, line.options);
  AddRunOptions(app, line);
  CLI11_PARSE(app, argc, argv);

  if (app.count("--restart-message") > 0) {
    line.options.restart_message = line.restart_message;
  }
  line.options.report_writes = !line.no_report_writes;
  if (!line.options.device.empty() && !line.options.link.empty()) {
    std::cerr << "prv1sim: --link applies to pseudo-terminals only\n";
    return 2;
  }

  std::vector<prv1sim::Point> points = prv1sim::BuiltinPoints();
  std::string error;
  if (!line.points_file.empty() &&
      !prv1sim::LoadPoints(line.points_file, points, error)) {
    std::cerr << "prv1sim: " << error << '\n';
    return 2;
  }
  CatchSignals();
  return Simulate(line, std::move(points));
}
