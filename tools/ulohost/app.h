// Running the host: from a config file, or from the demo's generated one.
#ifndef ULOPR1_TOOLS_ULOHOST_APP_H
#define ULOPR1_TOOLS_ULOHOST_APP_H

#include <string>
#include <vector>

#include "config.h"

namespace ulohost {

// Exit codes.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;  // the driver or a port failed
inline constexpr int kExitConfig = 2;   // the config is wrong
inline constexpr int kExitUsage = 64;   // the command line is wrong (EX_USAGE)

// A command the host sends itself at a set time (the demo's script).
struct ScriptStep {
  double at;  // seconds after the host is running
  std::string command;
};

struct RunOptions {
  std::string driver;    // overrides the config; empty: config or default
  std::string log_file;  // overrides the config
  bool json = false;     // JSON lines on stdout, commands on stdin
  bool trace = false;    // show class-8 traffic too
  double duration = 0;   // seconds to run; 0: until quit or a signal
  bool check = false;    // report the config's mistakes, open no port, run
                         // nothing
  bool strict = false;   // a port missing or held at start stops the host
  std::vector<ScriptStep> script;
};

// Checks the config's ports, loads the driver, checks the gates (every
// mistake reported at once), starts the instances and serves until quit, a
// signal or the duration, then shuts down cleanly. An instance whose port is
// missing or held is retried while the others run, unless strict. Returns
// an exit code.
int RunHost(const Config &config, const RunOptions &options);

// Loads a config file and runs it (or only checks it).
int RunConfigFile(const std::string &path, const RunOptions &options);

}  // namespace ulohost

#endif  // ULOPR1_TOOLS_ULOHOST_APP_H
