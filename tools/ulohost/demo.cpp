#include "demo.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#include "child_process.h"
#include "paths.h"

namespace ulohost {
namespace {

namespace fs = std::filesystem;

constexpr const char *kListening = "prv1sim: listening on ";

std::string ReadAll(const std::string &path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace

std::string DemoConfigText(const std::string &dir) {
  return R"(# The demo's site: one controller (the simulator) on COM1, which the
# port directory maps to the simulator's pseudo-terminal.
[host]
workdir = ")" +
         dir + R"("
port_dir = ")" +
         dir + R"("
com_interval = 5
status_interval = 20
reconnect_after = 2
reopen_interval = 2

[[instance]]
ulo = 1
port = "COM1"
baud = 9600
restart_message = "RESTART 100"

[[instance.gate]]
address = "$T1"
type = "float"
label = "Room 1 temperature"

[[instance.gate]]
address = "$T2"
type = "float"
label = "Room 2 temperature"

[[instance.gate]]
address = "$T3"
type = "float"
label = "Room 3 temperature"

[[instance.gate]]
address = "$T4"
type = "float"
label = "Outside air"

[[instance.gate]]
address = "$SP1"
type = "float"
label = "Room 1 setpoint"

[[instance.gate]]
address = "@DO1"
type = "digital"
label = "Pump 1"

[[instance.gate]]
address = "@DO2"
type = "digital"
label = "Boiler enable"
)";
}

int RunDemo(RunOptions options, const DemoOptions &demo) {
  std::string sim_path = demo.prv1sim.empty()
                             ? FindCompanion(ULOHOST_PRV1SIM_RELPATH)
                             : demo.prv1sim;
  if (access(sim_path.c_str(), X_OK) != 0) {
    std::cerr << "ulohost demo: cannot run the simulator " << sim_path
              << " (build the prv1sim target, or give --prv1sim PATH)"
              << std::endl;
    return kExitFailure;
  }
  char dir_template[] = "/tmp/ulohost-demo-XXXXXX";
  if (!mkdtemp(dir_template)) {
    std::perror("ulohost demo: cannot make a temporary directory");
    return kExitFailure;
  }
  const std::string dir = dir_template;
  const std::string sim_log = dir + "/prv1sim.log";

  int code = kExitFailure;
  {
    Child sim;
    Child::Options sim_options;
    sim_options.stderr_file = sim_log;
    sim_options.own_group = true;  // Ctrl-C is ours; we stop it after
    std::ostringstream rate;
    rate << demo.rate;
    std::string error;
    std::optional<std::string> line;
    if (sim.Start({sim_path, "--link", dir + "/COM1", "--rate", rate.str()},
                  sim_options, error)) {
      line = sim.ReadLine(std::chrono::seconds(10));
    }
    if (!line || !line->starts_with(kListening)) {
      std::cerr << "ulohost demo: the simulator did not start"
                << (error.empty() ? "" : ": " + error) << "\n"
                << ReadAll(sim_log) << std::endl;
    } else {
      std::cerr << "ulohost demo: simulator on "
                << line->substr(std::string(kListening).size())
                << ", mapped as COM1 in " << dir << std::endl;
      const std::string config_path = dir + "/demo.toml";
      std::ofstream(config_path) << DemoConfigText(dir);
      Config config;
      ConfigErrors config_errors;
      if (!LoadConfig(config_path, config, config_errors)) {
        std::cerr << "ulohost demo: " << config_errors.list().front().ToString()
                  << std::endl;
      } else {
        options.script = {{4, "write 1 $SP1 22.5"},
                          {9, "status 1"},
                          {13, "write 1 @DO1 1"},
                          {18, "com 1"}};
        code = RunHost(config, options);
      }
    }
    sim.Stop(std::chrono::seconds(3));
  }
  std::error_code ec;
  fs::remove_all(dir, ec);
  return code;
}

}  // namespace ulohost
