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
  app.add_option("--driver", options.driver,
                 "the driver library (default: the config's, else the "
                 "libulopr1.so beside ulohost or in its installed library "
                 "directory)");
  app.add_flag("--json", options.json,
               "JSON lines on stdout instead of the live view; commands "
               "(text or JSON) on stdin");
  app.add_option("--log", options.log_file, "append the host log to FILE");
  app.add_flag("--trace", options.trace,
               "show class-8 traffic (reports, write echoes) too");
  app.add_option("--duration", options.duration,
                 "stop after this many seconds (0: run until quit)")
      ->check(CLI::NonNegativeNumber);

#ifndef _WIN32
  ulohost::DemoOptions demo;
  CLI::App *demo_command = app.add_subcommand(
      "demo",
      "run against the simulator on a pseudo-terminal, no set-up needed");
  demo_command->fallthrough();
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
    if (app.count("--duration") == 0) options.duration = 30;
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
