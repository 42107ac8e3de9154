#include "app.h"

#include <atomic>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "commands.h"
#include "driver.h"
#include "host_log.h"
#include "instances.h"
#ifdef ULOHOST_WITH_MQTT
#include "mqtt_sink.h"
#endif
#include "notify.h"
#include "output.h"
#include "output_queue.h"
#include "paths.h"
#include "ports.h"
#include "system.h"
#include "zempro/control.h"

namespace ulohost {
namespace {

using Steady = std::chrono::steady_clock;

std::atomic<bool> stop_requested{false};
std::atomic<bool> reopen_requested{false};

void RequestStop(int) { stop_requested.store(true); }
#ifdef SIGHUP
void RequestReopen(int) { reopen_requested.store(true); }
#endif

void CatchSignals() {
  std::signal(SIGINT, RequestStop);
  std::signal(SIGTERM, RequestStop);
#ifdef SIGHUP
  std::signal(SIGHUP, RequestReopen);
#endif
#ifdef SIGPIPE
  std::signal(SIGPIPE, SIG_IGN);
#endif
}

// Registers the host's log sink for as long as it lives.
class LogSinkGuard {
 public:
  explicit LogSinkGuard(zempro::LogSink sink)
      : id_(zempro::AddLogSink(std::move(sink))) {}
  ~LogSinkGuard() { zempro::RemoveLogSink(id_); }
  LogSinkGuard(const LogSinkGuard &) = delete;
  LogSinkGuard &operator=(const LogSinkGuard &) = delete;

 private:
  int id_;
};

// The driver beside ulohost (in its build tree or its install); empty with
// error naming every place looked at.
std::string DefaultDriver(std::string &error) {
  std::string found = FindCompanion(ULOHOST_DRIVER_RELPATH);
  std::error_code ec;
  if (std::filesystem::exists(found, ec)) return found;
  error = "cannot find the driver; looked at";
  const char *separator = " ";
  for (const std::string &place : CompanionPlaces(ULOHOST_DRIVER_RELPATH)) {
    error += separator + place;
    separator = ", ";
  }
  return "";
}

void Fatal(Output *output, const std::string &message) {
  std::cerr << "ulohost: " << message << std::endl;
  if (output) {
    output->Emit(NoticeEvent{Clock::now(), NoticeLevel::kError, message});
  }
}

// Lines from stdin, read on a thread of their own so that the main loop
// never blocks on input: cut by a LineSplitter, or by the live view when it
// reads the terminal's keys. The thread is left running when the host
// leaves (it may sit in a read); it keeps its state alive itself, and hands
// nothing on once this object is gone.
class InputLines {
 public:
  InputLines(KeyReader *keys, EventSink &sink)
      : state_(std::make_shared<State>(keys, sink)) {
    std::thread([state = state_] { Read(*state); }).detach();
  }
  ~InputLines() {
    std::lock_guard lock(state_->mutex);
    state_->gone = true;
  }
  InputLines(const InputLines &) = delete;
  InputLines &operator=(const InputLines &) = delete;

  // Waits up to timeout for lines and hands over those that came. Answers
  // false once, when stdin has ended.
  bool Wait(std::vector<std::string> &lines,
            std::chrono::milliseconds timeout) {
    std::unique_lock lock(state_->mutex);
    state_->ready.wait_for(lock, timeout, [&] {
      return !state_->lines.empty() || (state_->ended && !end_reported_);
    });
    lines = std::move(state_->lines);
    state_->lines.clear();
    if (!state_->ended || end_reported_) return true;
    end_reported_ = true;
    return false;
  }

 private:
  struct State {
    State(KeyReader *keys, EventSink &sink) : keys(keys), sink(sink) {}
    KeyReader *keys;
    EventSink &sink;
    LineSplitter splitter;
    std::mutex mutex;
    std::condition_variable ready;
    std::vector<std::string> lines;
    bool ended = false;
    bool gone = false;  // the host has left: keys and sink may be gone
  };

  static void Read(State &state) {
    char chunk[4096];
    while (true) {
      long got = sys::ReadInput(chunk, sizeof chunk);
      std::lock_guard lock(state.mutex);
      if (state.gone) return;
      bool open = got > 0;
      if (open && state.keys) {
        open = state.keys->Keys(
            std::string_view(chunk, static_cast<std::size_t>(got)),
            state.lines);
      } else if (open) {
        std::vector<std::string> errors;
        state.splitter.Feed(
            std::string_view(chunk, static_cast<std::size_t>(got)), state.lines,
            errors);
        for (std::string &error : errors) {
          state.sink.Emit(
              NoticeEvent{Clock::now(), NoticeLevel::kError, error});
        }
      }
      state.ended = !open;
      state.ready.notify_all();
      if (!open) return;
    }
  }

  std::shared_ptr<State> state_;
  bool end_reported_ = false;
};

// The main loop: commands from stdin and the script, a refresh of the
// output a few times a second, until quit, a signal or the duration.
// live_view (may be null) reads the terminal's keys itself.
void Serve(const Config &config, const RunOptions &options, Host &host,
           Output &output, KeyReader *live_view, HostLog &log,
           ServiceNotifier &notifier) {
  Steady::time_point start = Steady::now();
  std::optional<Steady::time_point> deadline;
  if (options.duration > 0) {
    deadline = start + std::chrono::duration_cast<Steady::duration>(
                           std::chrono::duration<double>(options.duration));
  }
  std::size_t next_step = 0;
  bool input_is_terminal = sys::IsTerminal(0);
  // The live view reads the keys of a terminal itself.
  KeyReader *keys = input_is_terminal ? live_view : nullptr;
  std::optional<sys::RawInput> raw;
  if (keys) raw.emplace();
  InputLines input(raw && raw->ok() ? keys : nullptr, output);

  // Answers false for quit.
  auto handle = [&](const std::string &line) {
    if (line.find_first_not_of(" \t\r") == std::string::npos) {
      output.Prompt();
      return true;
    }
    Command command;
    std::string error;
    if (!ParseCommand(line, config, command, error)) {
      output.Emit(
          NoticeEvent{Clock::now(), NoticeLevel::kError, error, command.id});
      output.Prompt();
      return true;
    }
    switch (command.verb) {
      case Verb::kQuit:
        return false;
      case Verb::kHelp:
        output.Emit(TextEvent{Clock::now(), "help", HelpLines(), command.id});
        break;
      case Verb::kLog:
        output.Emit(TextEvent{Clock::now(), "log", log.Last(command.count),
                              command.id});
        break;
      case Verb::kValues:
        output.Emit(host.Values(command.id));
        break;
      default:
        host.Submit(command);
        break;
    }
    output.Prompt();
    return true;
  };

  while (!stop_requested.load()) {
    Steady::time_point now = Steady::now();
    if (deadline && now >= *deadline) break;
    bool quit = false;
    while (!quit && next_step < options.script.size() &&
           now - start >=
               std::chrono::duration<double>(options.script[next_step].at)) {
      quit = !handle(options.script[next_step++].command);
    }
    if (quit) break;
    std::vector<std::string> lines;
    bool open = input.Wait(lines, std::chrono::milliseconds(200));
    for (const std::string &line : lines) {
      if (!handle(line)) {
        quit = true;
        break;
      }
    }
    // Ctrl-D at a terminal leaves; a script's end of input does not.
    if (quit || (!open && input_is_terminal)) break;
    if (reopen_requested.exchange(false)) {
      output.Reopen();
      output.Emit(NoticeEvent{Clock::now(), NoticeLevel::kInfo,
                              "SIGHUP: the log file was opened again"});
    }
    log.Flush(Clock::now());
    output.Refresh(host.States());
    notifier.FeedWatchdog([&](Steady::duration interval) {
      return host.ReceiversAlive(interval);
    });
  }
}

// A missing port is a warning (its instance is retried), an error with
// --strict. The config's port directory is the driver's too.
void CheckConfiguredPorts(const Config &config, bool strict,
                          ConfigErrors &errors) {
  if (!config.host.port_dir.empty()) {
    sys::SetEnvironment("ULO_PORT_DIR", config.host.port_dir);
  }
  const char *port_dir = std::getenv("ULO_PORT_DIR");
  CheckPorts(config, port_dir ? port_dir : "", strict, errors);
}

// The driver the options or the config name (else the one beside ulohost)
// and what it announces; nullptr with error saying why it cannot be run.
std::unique_ptr<DriverLibrary> LoadDriver(const Config &config,
                                          const RunOptions &options,
                                          Description &description,
                                          std::string &error) {
  std::string path = !options.driver.empty()       ? options.driver
                     : !config.host.driver.empty() ? config.host.driver
                                                   : DefaultDriver(error);
  if (path.empty()) return nullptr;
  std::unique_ptr<DriverLibrary> driver = DriverLibrary::Load(path, error);
  if (!driver) {
    error = "cannot load the driver " + path + ": " + error;
    return nullptr;
  }
  description = driver->Describe();
  if (description.workspace_size <= 0 ||
      description.workspace_size > (1 << 20)) {
    error = path + " announces a workspace of " +
            std::to_string(description.workspace_size) +
            " bytes: not a driver this host can run";
    return nullptr;
  }
  return driver;
}

// Under systemd, stderr is the journal's stream.
bool StderrIsJournal() {
  const char *stream = std::getenv("JOURNAL_STREAM");
  return stream && *stream && sys::StreamIdentity(2) == stream;
}

// Every mistake once, in file order.
void Report(ConfigErrors &errors) {
  errors.Sort();
  for (const ConfigError &error : errors.list()) {
    std::cerr << "ulohost: " << error.ToString() << '\n';
  }
  std::cerr.flush();
}

// The config, its ports and (through the driver, which opens no port for
// it) its gates. Returns an exit code when the host must not go on: the
// config is wrong, the driver cannot be loaded, or only a check was asked.
std::optional<int> Check(const Config &config, const RunOptions &options,
                         ConfigErrors &errors,
                         std::unique_ptr<DriverLibrary> &driver,
                         Description &description) {
  CheckConfiguredPorts(config, options.strict, errors);
  std::string driver_error;
  driver = LoadDriver(config, options, description, driver_error);
  if (driver) {
    CheckGates(config, *driver, description, errors);
  } else if (options.check) {
    std::string field = !options.driver.empty()       ? "--driver"
                        : !config.host.driver.empty() ? "host.driver"
                                                      : "";
    errors.Add({config.file,
                {},
                field,
                driver_error + (field.empty() ? " (set host.driver or --driver)"
                                              : " (gates not checked)")});
  }
  Report(errors);
  if (!driver && !options.check) Fatal(nullptr, driver_error);
  if (errors.HasErrors()) return kExitConfig;
  if (!driver) return kExitFailure;
  if (!options.check) return std::nullopt;
  std::size_t gates = 0;
  for (const InstanceConfig &instance : config.instances) {
    gates += instance.gates.size();
  }
  auto count = [](std::size_t n, const char *what) {
    return std::to_string(n) + " " + what + (n == 1 ? "" : "s");
  };
  std::cout << config.file << ": " << count(config.instances.size(), "instance")
            << ", " << count(gates, "gate") << ", no errors, "
            << count(static_cast<std::size_t>(errors.Count(true)), "warning")
            << std::endl;
  return kExitOk;
}

// Where the host's events go: JSON lines when asked, the live view in a
// terminal, else plain lines (left out under systemd, where the journal
// carries the log); the journal; the log file the options or the config
// name, else for a config run outside systemd host.log in the working
// directory. live_view is set to the live view's key reader, if there is
// one. False after saying why the log file cannot be opened.
bool AddOutputs(const Config &config, const RunOptions &options,
                const Description &description, bool default_log,
                Outputs &outputs, KeyReader *&live_view) {
  bool journal = StderrIsJournal();
  bool live = false;
  if (options.json) {
    outputs.Add(MakeJsonOutput(1));
  } else if (sys::IsTerminal(1) && sys::EnableAnsi()) {
    std::unique_ptr<Output> view = MakeLiveView(1, config, description);
    live_view = dynamic_cast<KeyReader *>(view.get());
    outputs.Add(std::move(view));
    live = true;
  } else if (!journal) {
    outputs.Add(MakePlainOutput(1));
  }
  if (journal) outputs.Add(MakeJournal(2));

  std::string path =
      !options.log_file.empty() ? options.log_file : config.host.log;
  bool asked = !path.empty();
  if (!asked && (!default_log || journal)) return true;
  if (!asked) path = config.host.workdir + "/host.log";
  // Trouble with the file goes to the other outputs, and to stderr where
  // neither the journal nor the live view shows it.
  std::function<void(const Event &)> tell = outputs.Teller();
  if (!journal && !live) {
    tell = [tell](const Event &event) {
      tell(event);
      if (const auto *notice = std::get_if<NoticeEvent>(&event);
          notice && notice->level == NoticeLevel::kError) {
        sys::WriteAll(2, "ulohost: " + notice->text + "\n");
      }
    };
  }
  std::string error;
  std::unique_ptr<Output> file = MakeLogFile(path, tell, error);
  if (file) {
    outputs.Add(std::move(file));
    return true;
  }
  if (asked) {
    Fatal(nullptr, "cannot open the log file " + path);
    return false;
  }
  tell(NoticeEvent{
      Clock::now(), NoticeLevel::kError,
      "cannot open the log file " + path + ": " + error + "; running without"});
  return true;
}

// Checks the gates, starts the instances and serves until the end; the
// instances are shut down on return. Returns an exit code.
// attach is given the host once it runs, and nullptr before it stops.
int RunInstances(const Config &config, const RunOptions &options,
                 const DriverLibrary &driver, const Description &description,
                 Output &output, KeyReader *live_view, HostLog &log,
                 const std::function<void(Host *)> &attach) {
  Host host(config, driver, description, output);
  ServiceNotifier notifier([&output](const std::string &problem) {
    output.Emit(NoticeEvent{Clock::now(), NoticeLevel::kError, problem});
  });
  std::string error;
  if (!host.Start(!options.strict, error)) {
    Fatal(&output, error);
    return kExitFailure;
  }
  notifier.Ready();
  attach(&host);
  Serve(config, options, host, output, live_view, log, notifier);
  attach(nullptr);
  notifier.Stopping();
  host.Shutdown();
  log.Flush(Clock::now(), true);
  return kExitOk;
}

// RunHost; errors: what reading the config found (none for a config built
// in the program); default_log for a config run (see AddOutputs).
int Run(const Config &config, const RunOptions &options, ConfigErrors errors,
        bool default_log) {
  stop_requested.store(false);
  reopen_requested.store(false);
  CatchSignals();
  Description description;
  std::unique_ptr<DriverLibrary> driver;
  if (std::optional<int> code =
          Check(config, options, errors, driver, description)) {
    return *code;
  }
  Outputs outputs;
  KeyReader *live_view = nullptr;  // owned by outputs
  if (!AddOutputs(config, options, description, default_log, outputs,
                  live_view)) {
    return kExitFailure;
  }
  std::function<void(Host *)> attach = [](Host *) {};
#ifdef ULOHOST_WITH_MQTT
  auto inbox = std::make_shared<CommandInbox>();
  attach = [inbox](Host *host) { inbox->Attach(host); };
  if (config.mqtt) {
    std::string error;
    std::unique_ptr<Output> mqtt =
        MakeMqttOutput(config, description, outputs.Teller(), inbox, error);
    if (!mqtt) {
      Fatal(&outputs, error);
      outputs.Finish();
      return kExitFailure;
    }
    outputs.Add(std::move(mqtt));
  }
#endif
  std::error_code ec;
  std::filesystem::current_path(config.host.workdir, ec);
  if (ec) {
    Fatal(&outputs, "cannot enter the working directory " +
                        config.host.workdir + ": " + ec.message());
    outputs.Finish();
    return kExitFailure;
  }
  zempro::SetWaitRange(config.host.wait_min_ms, config.host.wait_max_ms);

  outputs.Emit(NoticeEvent{
      Clock::now(), NoticeLevel::kInfo,
      "driver '" + description.name + "' from " + driver->path() +
          ", workspace " + std::to_string(description.workspace_size) +
          " bytes, working directory " + config.host.workdir});

  HostLog log(outputs, options.trace);
  int code;
  {
    LogSinkGuard sink(
        [&](const zempro::LogRecord &record) { log.Add(record); });
    code = RunInstances(config, options, *driver, description, outputs,
                        live_view, log, attach);
  }
  outputs.Finish();
  return code;
}

}  // namespace

int RunHost(const Config &config, const RunOptions &options) {
  return Run(config, options, {}, false);
}

int RunConfigFile(const std::string &path, const RunOptions &options) {
  Config config;
  ConfigErrors errors;
  // With nothing read (no file, bad syntax) there is nothing more to check.
  if (!LoadConfig(path, config, errors) && config.instances.empty()) {
    Report(errors);
    return kExitConfig;
  }
  return Run(config, options, std::move(errors), true);
}

}  // namespace ulohost
