// ulohost: the supervisory host program for the PRV1 driver.
#include <CLI/CLI.hpp>
#include <iostream>

#include "app.h"
#ifndef _WIN32
#include "demo.h"  // the simulator needs pseudo-terminals
#endif

int main(int argc, char **argv) {
  ulohost::RunOptions options;
  std::string config_path;

  CLI::App app{
      "ulohost: runs PRV1 driver instances from a site config, shows their "
      "gates live, takes commands at a prompt"};
  app.set_version_flag("--version", "ulohost " ULOHOST_VERSION);
  app.add_option("config", config_path, "the site config (TOML)");
  // The demo takes them too, listed in its own --help.
  auto add_run_options = [&options](CLI::App &command) {
    command.add_option("--driver", options.driver,
                       "the driver library (default: the config's, else the "
                       "libulopr1.so beside ulohost or in its installed "
                       "library directory)");
    command.add_flag("--json", options.json,
                     "JSON lines on stdout instead of the live view; commands "
                     "(text or JSON) on stdin");
    command.add_option("--log", options.log_file,
                       "append the host log to FILE");
    command.add_flag("--trace", options.trace,
                     "show class-8 traffic (reports, write echoes) too");
    command
        .add_option("--duration", options.duration,
                    "stop after this many seconds (0: run until quit)")
        ->check(CLI::NonNegativeNumber);
  };
  add_run_options(app);
  app.add_flag("--check", options.check,
               "check the config (and its gates with the driver), report "
               "every mistake, open no port; exit 0 or 2");
  app.add_flag("--strict", options.strict,
               "refuse to start unless every enabled instance's port opens "
               "(default: report it and retry every reopen_interval)");

#ifndef _WIN32
  ulohost::DemoOptions demo;
  CLI::App *demo_command = app.add_subcommand(
      "demo",
      "run against the simulator on a pseudo-terminal, no set-up needed");
  add_run_options(*demo_command);
  demo_command->add_option("--prv1sim", demo.prv1sim,
                           "the simulator (default: the one built beside "
                           "ulohost)");
  demo_command->add_option("--rate", demo.rate, "simulator reports per second")
      ->check(CLI::PositiveNumber)
      ->capture_default_str();
#endif
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError &error) {
    // --help and --version end here too, with 0; mistakes with EX_USAGE.
    return app.exit(error) == 0 ? ulohost::kExitOk : ulohost::kExitUsage;
  }

#ifndef _WIN32
  if (*demo_command) {
    if (app.count("--duration") + demo_command->count("--duration") == 0) {
      options.duration = 30;
    }
    return ulohost::RunDemo(options, demo);
  }
#endif
  if (config_path.empty()) {
    std::cerr << app.help() << "\nulohost: give a config file, or 'demo'"
              << std::endl;
    return ulohost::kExitUsage;
  }
  return ulohost::RunConfigFile(config_path, options);
}
