// The driver instances the host runs, each on a worker thread of its own
// that sends all of the instance's commands (so one instance's commands
// never come from two threads at once), reads STATUS and COM on a schedule,
// carries out commands, and reconnects a port that has gone quiet.
//
// Reconnect policy: after `reconnect_after` failed COM reads in a row the
// worker closes the port (11) and reopens it (13). When the reopen works it
// sends a warm start (2), which drains stale input, restores the configured
// read timeout and makes the controller report again. When it fails the
// port counts as lost: scheduled reads pause and the reopen is tried again
// every `reopen_interval` seconds until it works. A port closed by command
// stays closed until reopened by command.
//
// Start: a port that cannot be opened at start (missing, or held by another
// program) is named in a notice and the start (1) is tried again every
// `reopen_interval` seconds while the other instances run; the driver keeps
// nothing of a start that failed, so 13 is of no use there.
//
// Gate quality: an instance's gates turn stale when its latest COM read
// fails or its port is closed, lost or could not be opened, and good again
// once the port is open and the latest COM read worked (after a failed read
// that is the next successful one). Each change is announced as one quality
// event listing the gates that have a value.
#ifndef ULOPR1_TOOLS_ULOHOST_INSTANCES_H
#define ULOPR1_TOOLS_ULOHOST_INSTANCES_H

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "commands.h"
#include "config.h"
#include "driver.h"
#include "events.h"

namespace ulohost {

// What an instance's port is doing, as the host sees it.
enum class Link {
  kStarting,  // command 1 not answered yet
  kOpen,      // running; scheduled reads on
  kClosed,    // closed by command
  kLost,      // reopen failed; retried on a timer
  kNoPort,    // configured without a port (enabled = false)
  kFailed,    // the start could not open the port; retried on a timer
};
const char *LinkName(Link link);

struct InstanceState {
  int ulo = 0;
  std::string port;
  Link link = Link::kStarting;
  std::optional<ReadEvent> status;   // the latest STATUS read
  std::optional<ReadEvent> com;      // the latest COM read
  std::string busy;                  // the command running now, if any
  int com_failures = 0;              // failed COM reads in a row
  int reconnects = 0;                // reconnects that worked
  Quality quality = Quality::kGood;  // of the gates that have a value
};

class Runner;

// Asks the driver about every configured gate (command 3, which opens no
// port), each instance on a workspace of its own. A gate it refuses is an
// error naming the gate's line. False when one is refused.
bool CheckGates(const Config &config, const DriverLibrary &driver,
                const Description &description, ConfigErrors &errors);

class Host {
 public:
  Host(const Config &config, const DriverLibrary &driver,
       const Description &description, EventSink &sink);
  ~Host();
  Host(const Host &) = delete;
  Host &operator=(const Host &) = delete;

  // Writes the init files the config asks for, defines the gates with the
  // host runtime and starts every instance (command 1, all at once). With
  // retry an instance whose port cannot be opened is retried on a timer and
  // the others run; without, the others are stopped again and error says
  // why.
  bool Start(bool retry, std::string &error);

  // Queues an instance command (write, reads, port control) for its worker.
  void Submit(const Command &command);

  std::vector<InstanceState> States() const;

  // Every data gate's value, age and quality, in config order.
  ValuesEvent Values(const CommandId &id) const;

  // Whether every started instance's receiver runs: registered, not told to
  // stop, and back in its wait within `within` unless the command under way
  // holds it off the port (a write with long read timeouts may).
  bool ReceiversAlive(std::chrono::steady_clock::duration within) const;

  // Stops the workers, closes the ports (11), tells the clients to stop and
  // waits for the receivers to end, then lets the driver release each
  // instance's event. Safe to call twice.
  void Shutdown();

 private:
  const Config &config_;
  EventSink &sink_;
  std::vector<std::unique_ptr<Runner>> runners_;
  int subscription_ = -1;
  bool launched_ = false;
  bool shut_down_ = false;
};

}  // namespace ulohost

#endif  // ULOPR1_TOOLS_ULOHOST_INSTANCES_H
