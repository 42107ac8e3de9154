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
#include <thread>

#include "commands.h"
#include "driver.h"
#include "instances.h"
#include "notify.h"
#include "output.h"
#include "paths.h"
#include "ports.h"
#include "system.h"
#include "zempro/control.h"

namespace ulohost {
namespace {

using Steady = std::chrono::steady_clock;

std::atomic<bool> stop_requested{false};

void RequestStop(int) { stop_requested.store(true); }

void CatchSignals() {
  std::signal(SIGINT, RequestStop);
  std::signal(SIGTERM, RequestStop);
#ifdef SIGPIPE
  std::signal(SIGPIPE, SIG_IGN);
#endif
}

// The end of the host log, for the log command.
class LogTail {
 public:
  void Add(const zempro::LogRecord &record) {
    std::lock_guard lock(mutex_);
    lines_.push_back(zempro::FormatLogLine(record));
    if (lines_.size() > kKeep) lines_.pop_front();
  }
  std::vector<std::string> Last(int count) const {
    std::lock_guard lock(mutex_);
    std::size_t n = std::min(lines_.size(), static_cast<std::size_t>(count));
    return {lines_.end() - static_cast<std::ptrdiff_t>(n), lines_.end()};
  }

 private:
  static constexpr std::size_t kKeep = 2000;
  mutable std::mutex mutex_;
  std::deque<std::string> lines_;
};

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

// The driver beside ulohost (in its build tree or its install); empty after
// saying every place looked at.
std::string DefaultDriver() {
  std::string found = FindCompanion(ULOHOST_DRIVER_RELPATH);
  std::error_code ec;
  if (std::filesystem::exists(found, ec)) return found;
  std::string looked;
  for (const std::string &place : CompanionPlaces(ULOHOST_DRIVER_RELPATH)) {
    looked += (looked.empty() ? "" : ", ") + place;
  }
  std::cerr << "ulohost: cannot find the driver; looked at " << looked
            << " (name it with host.driver in the config, or --driver)"
            << std::endl;
  return "";
}

void Fatal(Output *output, const std::string &message) {
  std::cerr << "ulohost: " << message << std::endl;
  if (output) {
    output->Emit(NoticeEvent{Clock::now(), NoticeLevel::kError, message});
  }
}

// Lines from stdin, read on a thread of their own so that the main loop
// never blocks on input. The thread is left running when the host leaves
// (it may sit in a read); it keeps its state alive itself.
class InputLines {
 public:
  InputLines() : state_(std::make_shared<State>()) {
    std::thread([state = state_] { Read(*state); }).detach();
  }

  // Waits up to timeout for lines and hands over those that came. Answers
  // false once, when stdin has ended.
  bool Wait(std::vector<std::string> &lines,
            std::chrono::milliseconds timeout) {
    std::unique_lock lock(state_->mutex);
    state_->ready.wait_for(lock, timeout, [&] {
      return !state_->lines.empty() || (state_->ended && !end_reported_);
    });
    lines.assign(state_->lines.begin(), state_->lines.end());
    state_->lines.clear();
    if (!state_->ended || end_reported_) return true;
    end_reported_ = true;
    return false;
  }

 private:
  struct State {
    std::mutex mutex;
    std::condition_variable ready;
    std::deque<std::string> lines;
    bool ended = false;
  };

  static void Read(State &state) {
    std::string pending;
    char chunk[4096];
    while (true) {
      long got = sys::ReadInput(chunk, sizeof chunk);
      std::lock_guard lock(state.mutex);
      if (got <= 0) {
        state.ended = true;
        state.ready.notify_all();
        return;
      }
      pending.append(chunk, static_cast<std::size_t>(got));
      for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
        state.lines.push_back(pending.substr(0, end));
        pending.erase(0, end + 1);
      }
      state.ready.notify_all();
    }
  }

  std::shared_ptr<State> state_;
  bool end_reported_ = false;
};

// The main loop: commands from stdin and the script, a refresh of the
// output a few times a second, until quit, a signal or the duration.
void Serve(const Config &config, const RunOptions &options, Host &host,
           Output &output, const LogTail &tail, ServiceNotifier &notifier) {
  Steady::time_point start = Steady::now();
  std::optional<Steady::time_point> deadline;
  if (options.duration > 0) {
    deadline = start + std::chrono::duration_cast<Steady::duration>(
                           std::chrono::duration<double>(options.duration));
  }
  std::size_t next_step = 0;
  bool input_is_terminal = sys::IsTerminal(0);
  InputLines input;

  // Answers false for quit.
  auto handle = [&](const std::string &line) {
    if (line.find_first_not_of(" \t\r") == std::string::npos) {
      output.Prompt();
      return true;
    }
    Command command;
    std::string error;
    if (!ParseCommand(line, config, command, error)) {
      output.Emit(NoticeEvent{Clock::now(), NoticeLevel::kError, error});
      output.Prompt();
      return true;
    }
    switch (command.verb) {
      case Verb::kQuit:
        return false;
      case Verb::kHelp:
        output.Emit(TextEvent{Clock::now(), "help", HelpLines()});
        break;
      case Verb::kLog:
        output.Emit(TextEvent{Clock::now(), "log", tail.Last(command.count)});
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
    output.Refresh(host.States());
    notifier.FeedWatchdog([&](Steady::duration interval) {
      return host.ReceiversAlive(interval);
    });
  }
}

// Ports first: a missing one starts nothing. The config's port directory
// is the driver's too.
bool CheckConfiguredPorts(const Config &config) {
  if (!config.host.port_dir.empty()) {
    sys::SetEnvironment("ULO_PORT_DIR", config.host.port_dir);
  }
  const char *port_dir = std::getenv("ULO_PORT_DIR");
  ConfigError error;
  if (!CheckPorts(config, port_dir ? port_dir : "", error)) {
    Fatal(nullptr, error.ToString());
    return false;
  }
  return true;
}

// The driver the options or the config name (else the one beside ulohost)
// and what it announces; nullptr after saying why it cannot be run.
std::unique_ptr<DriverLibrary> LoadDriver(const Config &config,
                                          const RunOptions &options,
                                          Description &description) {
  std::string path = !options.driver.empty()       ? options.driver
                     : !config.host.driver.empty() ? config.host.driver
                                                   : DefaultDriver();
  if (path.empty()) return nullptr;
  std::string error;
  std::unique_ptr<DriverLibrary> driver = DriverLibrary::Load(path, error);
  if (!driver) {
    const char *named = !options.driver.empty()       ? " (--driver)"
                        : !config.host.driver.empty() ? " (host.driver)"
                                                      : "";
    Fatal(nullptr, "cannot load the driver " + path + named + ": " + error);
    return nullptr;
  }
  description = driver->Describe();
  if (description.workspace_size <= 0 ||
      description.workspace_size > (1 << 20)) {
    Fatal(nullptr, path + " announces a workspace of " +
                       std::to_string(description.workspace_size) +
                       " bytes: not a driver this host can run");
    return nullptr;
  }
  return driver;
}

// The log file the options or the config name, if any; false after saying
// why it cannot be opened.
bool OpenLogFile(const Config &config, const RunOptions &options,
                 std::optional<zempro::LogSink> &log_file) {
  std::string path =
      !options.log_file.empty() ? options.log_file : config.host.log;
  if (path.empty()) return true;
  log_file = zempro::FileSink(path);
  if (!log_file) Fatal(nullptr, "cannot open the log file " + path);
  return log_file.has_value();
}

// JSON lines when asked, the live view in a terminal, else plain lines.
std::unique_ptr<Output> MakeOutput(const Config &config,
                                   const RunOptions &options,
                                   const Description &description) {
  if (options.json) return MakeJsonOutput(std::cout);
  if (sys::IsTerminal(1) && sys::EnableAnsi()) {
    return MakeLiveView(1, config, description);
  }
  return MakePlainOutput(std::cout);
}

// Checks the gates, starts the instances and serves until the end; the
// instances are shut down on return. Returns an exit code.
int RunInstances(const Config &config, const RunOptions &options,
                 const DriverLibrary &driver, const Description &description,
                 Output &output, const LogTail &tail) {
  Host host(config, driver, description, output);
  ConfigError config_error;
  if (!host.CheckGates(config_error)) {
    Fatal(&output, config_error.ToString());
    return kExitConfig;
  }
  ServiceNotifier notifier([&output](const std::string &problem) {
    output.Emit(NoticeEvent{Clock::now(), NoticeLevel::kError, problem});
  });
  std::string error;
  if (!host.Start(error)) {
    Fatal(&output, error);
    return kExitFailure;
  }
  notifier.Ready();
  Serve(config, options, host, output, tail, notifier);
  notifier.Stopping();
  host.Shutdown();
  return kExitOk;
}

}  // namespace

int RunHost(const Config &config, const RunOptions &options) {
  stop_requested.store(false);
  CatchSignals();
  if (!CheckConfiguredPorts(config)) return kExitConfig;
  Description description;
  std::unique_ptr<DriverLibrary> driver =
      LoadDriver(config, options, description);
  std::optional<zempro::LogSink> log_file;
  if (!driver || !OpenLogFile(config, options, log_file)) return kExitFailure;
  std::error_code ec;
  std::filesystem::current_path(config.host.workdir, ec);
  if (ec) {
    Fatal(nullptr, "cannot enter the working directory " + config.host.workdir +
                       ": " + ec.message());
    return kExitFailure;
  }
  zempro::SetWaitRange(config.host.wait_min_ms, config.host.wait_max_ms);

  std::unique_ptr<Output> output = MakeOutput(config, options, description);
  output->Emit(NoticeEvent{
      Clock::now(), NoticeLevel::kInfo,
      "driver '" + description.name + "' from " + driver->path() +
          ", workspace " + std::to_string(description.workspace_size) +
          " bytes, working directory " + config.host.workdir});

  LogTail tail;
  LogSinkGuard sink([&](const zempro::LogRecord &record) {
    if (record.message_class == ZEM_CLASS_TRACE && !options.trace) return;
    if (log_file) (*log_file)(record);
    tail.Add(record);
    output->Emit(LogEvent{record.time, record.message_class, record.text});
  });
  int code = RunInstances(config, options, *driver, description, *output, tail);
  output->Finish();
  return code;
}

int RunConfigFile(const std::string &path, const RunOptions &options) {
  Config config;
  ConfigError error;
  if (!LoadConfig(path, config, error)) {
    std::cerr << "ulohost: " << error.ToString() << std::endl;
    return kExitConfig;
  }
  return RunHost(config, options);
}

}  // namespace ulohost
