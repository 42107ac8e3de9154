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

void Announce(const std::string& line) { std::cout << line << std::endl; }

}  // namespace

int main(int argc, char** argv) {
  using prv1sim::EchoMode;
  using prv1sim::Parity;
  prv1sim::Options options;
  std::string points_file, stats_file, timestamps_file, restart_message;
  bool verbose = false, no_report_writes = false;

  CLI::App app{"PRV1 controller simulator"};
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
  app.add_option("--stop-bits", options.line.stop_bits, "1 or 2")
      ->check(CLI::IsMember({1u, 2u}))
      ->capture_default_str();
  app.add_option("--points", points_file,
                 "TOML file of points (default: a built-in set)")
      ->check(CLI::ExistingFile);
  app.add_option("--rate", options.rate, "spontaneous reports per second")
      ->check(CLI::NonNegativeNumber)
      ->capture_default_str();
  app.add_option("--header", options.header,
                 "the two header characters of every frame")
      ->check(CLI::Validator(
          [](std::string& text) {
            return text.size() == 2 &&
                           text.find_first_of("\x02\x03\r") == std::string::npos
                       ? std::string()
                       : std::string("must be two characters");
          },
          "TWO CHARACTERS"))
      ->capture_default_str();
  app.add_option("--restart-message", restart_message,
                 "only this text restarts (default: any line that is not a "
                 "write)");
  app.add_flag("--no-report-writes", no_report_writes,
               "do not report a point a write has changed");
  app.add_option("--seed", options.seed, "seed of the random drift")
      ->capture_default_str();
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
  app.add_option("--duration", options.duration, "seconds to run")
      ->check(CLI::NonNegativeNumber);
  app.add_flag("--verbose", verbose, "trace what is sent and received");
  app.add_option("--stats", stats_file, "write the counts as JSON here");
  app.add_option("--timestamps", timestamps_file,
                 "log every complete report frame here: CLOCK_MONOTONIC "
                 "nanoseconds of the write of its last byte, and its text");
  CLI11_PARSE(app, argc, argv);

  if (app.count("--restart-message") > 0) {
    options.restart_message = restart_message;
  }
  options.report_writes = !no_report_writes;
  if (!options.device.empty() && !options.link.empty()) {
    std::cerr << "prv1sim: --link applies to pseudo-terminals only\n";
    return 2;
  }

  std::vector<prv1sim::Point> points = prv1sim::BuiltinPoints();
  std::string error;
  if (!points_file.empty() &&
      !prv1sim::LoadPoints(points_file, points, error)) {
    std::cerr << "prv1sim: " << error << '\n';
    return 2;
  }

  struct sigaction action {};
  action.sa_handler = RequestStop;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);

  std::ofstream timestamps;
  if (!timestamps_file.empty()) {
    timestamps.open(timestamps_file);
    if (!timestamps) {
      std::cerr << "prv1sim: cannot write " << timestamps_file << '\n';
      return 2;
    }
  }
  prv1sim::Simulator simulator(options, std::move(points), Announce,
                               verbose ? &std::cerr : nullptr,
                               timestamps.is_open() ? &timestamps : nullptr);
  if (!simulator.Open(error)) {
    std::cerr << "prv1sim: " << error << '\n';
    return 1;
  }
  bool ok = simulator.Run(stop_requested, error);
  if (!ok) std::cerr << "prv1sim: " << error << '\n';
  std::cerr << prv1sim::Summary(simulator.stats()) << std::endl;
  if (!stats_file.empty()) {
    std::ofstream out(stats_file);
    out << prv1sim::ToJson(simulator.stats()).dump(2) << '\n';
    if (!out) {
      std::cerr << "prv1sim: cannot write " << stats_file << '\n';
      return 1;
    }
  }
  return ok ? 0 : 1;
}
