#include "instances.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <sstream>
#include <thread>

#include "host_log.h"
#include "ports.h"
#include "ulopr1/ulo.h"
#include "zempro/control.h"

namespace ulohost {
namespace {

using Steady = std::chrono::steady_clock;

Steady::duration Seconds(double seconds) {
  return std::chrono::duration_cast<Steady::duration>(
      std::chrono::duration<double>(seconds));
}

double SecondsSince(Steady::time_point start) {
  return std::chrono::duration<double>(Steady::now() - start).count();
}

std::string ClientName(int ulo) {
  char name[32];
  std::snprintf(name, sizeof name, ULO_CLIENT_NAME_FORMAT, ulo);
  return name;
}

// The two gates the host reads on its schedule.
enum class StatusGate { kStatus, kCom };

const char *StatusGateName(StatusGate gate) {
  return gate == StatusGate::kCom ? "COM" : "STATUS";
}

}  // namespace

const char *LinkName(Link link) {
  switch (link) {
    case Link::kStarting:
      return "starting";
    case Link::kOpen:
      return "open";
    case Link::kClosed:
      return "closed";
    case Link::kLost:
      return "lost";
    case Link::kNoPort:
      return "no port";
    case Link::kFailed:
      return "not opened, retrying";
  }
  return "?";
}

// One instance: its driver workspace and the thread that sends all of its
// commands.
class Runner {
 public:
  Runner(const InstanceConfig &config, const HostConfig &host,
         const DriverLibrary &driver, const Description &description,
         EventSink &sink)
      : config_(config),
        host_(host),
        sink_(sink),
        instance_(driver, config.ulo,
                  static_cast<std::size_t>(description.workspace_size)) {
    port_.name = config.port;
    port_.read_timeout = config.read_timeout;
    port_.line.baud = config.line.baud.value_or(description.line.baud);
    port_.line.data_bits =
        config.line.data_bits.value_or(description.line.data_bits);
    port_.line.stop_bits =
        config.line.stop_bits.value_or(description.line.stop_bits);
    port_.line.parity = config.line.parity.value_or(description.line.parity);
    state_.ulo = config.ulo;
    state_.port = config.port;
  }

  ~Runner() { Stop(); }

  const InstanceConfig &config() const { return config_; }
  DriverInstance &instance() { return instance_; }

  // Starts the worker, whose first act is command 1; the future answers its
  // result. With retry a port that cannot be opened is started again on a
  // timer.
  std::future<int32_t> Launch(bool retry) {
    retry_start_ = retry;
    std::future<int32_t> started = start_result_.get_future();
    thread_ = std::thread([this] { Run(); });
    return started;
  }

  void Submit(const Command &command) {
    {
      std::lock_guard lock(mutex_);
      queue_.push_back(command);
    }
    wake_.notify_one();
  }

  // Lets the command under way finish, then ends the worker.
  void Stop() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_one();
    if (thread_.joinable()) thread_.join();
  }

  InstanceState State() const {
    std::lock_guard lock(mutex_);
    return state_;
  }

  // Whether the port has been opened once, so that the instance holds a
  // receiver that must be stopped.
  bool Started() const {
    std::lock_guard lock(mutex_);
    return started_;
  }

  // Port-related event on behalf of the caller (the host during shutdown).
  void Report(PortAction action, int32_t result, PortReason reason,
              const CommandId &id = {}) {
    sink_.Emit(PortEvent{Clock::now(), config_.ulo, action, result, reason,
                         port_.name, id});
  }

  // A new value from the receiver, with the quality the instance's link
  // gives it. Held against quality changes so that no gate event with the
  // old quality follows the quality event.
  void EmitValue(const zempro::GateInfo &gate, const zempro::GateValue &value) {
    std::lock_guard emitting(emit_mutex_);
    sink_.Emit(GateEvent{value.time, config_.ulo, gate.address, value.value,
                         value.updates, gate.type, State().quality});
  }

  // The configured data gates and their values, for the values command.
  void Snapshot(Clock::time_point now, std::vector<GateSnapshot> &gates) const {
    Quality link = State().quality;
    for (const GateConfig &gate : config_.gates) {
      if (IsStatusGate(gate.address)) continue;
      GateSnapshot row{config_.ulo, gate.address,       gate.label,
                       gate.type,   std::nullopt,       0,
                       0,           Quality::kUncertain};
      std::optional<zempro::GateValue> value =
          zempro::ReadGate(static_cast<uint8_t>(config_.ulo), gate.address);
      if (value) {
        row.value = value->value;
        // Seconds, to the millisecond.
        row.age = std::round(
                      std::chrono::duration<double>(now - value->time).count() *
                      1000) /
                  1000;
        row.updates = value->updates;
        row.quality = link;
      }
      gates.push_back(std::move(row));
    }
  }

 private:
  void Run() {
    SetThreadInstance(config_.ulo);  // the driver's messages on this thread
    next_status_ = Steady::now() + Seconds(host_.status_interval);
    start_result_.set_value(StartPort(PortReason::kStartup));

    std::unique_lock lock(mutex_);
    while (true) {
      wake_.wait_until(lock, NextDue(),
                       [this] { return stopping_ || !queue_.empty(); });
      if (stopping_) break;
      if (!queue_.empty()) {
        Command command = queue_.front();
        queue_.pop_front();
        lock.unlock();
        Execute(command);
        lock.lock();
        continue;
      }
      lock.unlock();
      RunSchedule();
      lock.lock();
    }
  }

  // Called with the mutex held.
  Steady::time_point NextDue() const {
    Steady::time_point idle = Steady::now() + std::chrono::hours(1);
    switch (state_.link) {
      case Link::kOpen:
        return std::min(next_com_, next_status_);
      case Link::kLost:
        return next_reopen_;
      case Link::kFailed:
        return retry_start_ ? next_reopen_ : idle;
      default:
        return idle;
    }
  }

  void RunSchedule() {
    Steady::time_point now = Steady::now();
    Link link = State().link;
    if (link == Link::kOpen && now >= next_com_) {
      next_com_ = now + Seconds(host_.com_interval);
      ReadGate(StatusGate::kCom, true);
    } else if (link == Link::kOpen && now >= next_status_) {
      next_status_ = now + Seconds(host_.status_interval);
      ReadGate(StatusGate::kStatus, true);
    } else if (link == Link::kLost && now >= next_reopen_) {
      Reopen(PortReason::kReconnect);
    } else if (link == Link::kFailed && now >= next_reopen_) {
      StartPort(PortReason::kReconnect);
    }
  }

  // Command 1, which opens the port, starts the receiver and sends the
  // restart message. The driver keeps no port settings from a start that
  // could not open the port, so such a port is opened by starting again
  // (command 13 would have nothing to reopen).
  int32_t StartPort(PortReason reason, const CommandId &id = {}) {
    Busy("start");
    int32_t result = instance_.Start(port_, config_.enabled);
    Report(PortAction::kStart, result, reason, id);
    if (!config_.enabled) {
      SetLink(Link::kNoPort);
    } else if (result == ULO_DONE) {
      {
        std::lock_guard lock(mutex_);
        started_ = true;
      }
      if (reason != PortReason::kStartup) {
        Notice(NoticeLevel::kInfo,
               "port '" + port_.name + "' opened; the instance runs");
      }
      Resume(false);
    } else {
      next_reopen_ = Steady::now() + Seconds(host_.reopen_interval);
      SetLink(Link::kFailed);
      if (retry_start_ && reason == PortReason::kStartup) {
        std::ostringstream again;
        again << "; trying again every " << host_.reopen_interval << " s";
        Notice(NoticeLevel::kError, StartFailure() + again.str());
      }
    }
    return result;
  }

  // Why the port could not be opened, as far as the host can tell.
  std::string StartFailure() const {
    const char *port_dir = std::getenv("ULO_PORT_DIR");
    std::string missing = MissingPort(port_.name, port_dir ? port_dir : "");
    if (!missing.empty()) return missing;
    return "cannot open port '" + port_.name +
           "' (held by another program, or not a serial device)";
  }

  void Notice(NoticeLevel level, const std::string &text) {
    sink_.Emit(NoticeEvent{Clock::now(), level,
                           "ulo " + std::to_string(config_.ulo) + ": " + text});
  }

  void Execute(const Command &command) {
    switch (command.verb) {
      case Verb::kWrite:
        Write(command);
        break;
      case Verb::kStatus:
        ReadGate(StatusGate::kStatus, false, command.id);
        break;
      case Verb::kCom:
        ReadGate(StatusGate::kCom, false, command.id);
        break;
      case Verb::kWarmStart:
        Busy("warm start");
        Report(PortAction::kWarmStart, instance_.WarmStart(),
               PortReason::kCommand, command.id);
        break;
      case Verb::kClose: {
        Busy("close");
        int32_t result = instance_.ClosePort();
        Report(PortAction::kClose, result, PortReason::kCommand, command.id);
        if (result == ULO_DONE) SetLink(Link::kClosed);
        break;
      }
      case Verb::kReopen:
        Reopen(PortReason::kCommand, command.id);
        break;
      case Verb::kPort:
        ChangePort(command.port, command.id);
        break;
      default:
        break;
    }
    Busy("");
  }

  void Write(const Command &command) {
    Busy("write " + command.gate);
    Steady::time_point start = Steady::now();
    int32_t result = instance_.Write(command.gate, command.type, command.value);
    sink_.Emit(WriteEvent{Clock::now(), config_.ulo, command.gate,
                          command.value, result, SecondsSince(start),
                          command.type, command.id});
  }

  // The STATUS and COM gates are read by the names the config gave them.
  std::string GateName(const char *status) const {
    for (const GateConfig &gate : config_.gates) {
      if (EqualsIgnoringCase(gate.address, status)) return gate.address;
    }
    return status;
  }

  void ReadGate(StatusGate which, bool scheduled, const CommandId &id = {}) {
    bool com = which == StatusGate::kCom;
    const char *name = StatusGateName(which);
    Busy(std::string("read ") + name);
    Steady::time_point start = Steady::now();
    ReadResult read = instance_.Read(GateName(name));
    ReadEvent event{Clock::now(),        config_.ulo, name,
                    read.result,         read.value,  scheduled,
                    SecondsSince(start), id};
    bool reconnect = false;
    {
      std::lock_guard lock(mutex_);
      (com ? state_.com : state_.status) = event;
      if (com) {
        state_.com_failures =
            read.result == ULO_COMM_FAILURE ? state_.com_failures + 1 : 0;
        reconnect = host_.reconnect_after > 0 &&
                    state_.com_failures >= host_.reconnect_after &&
                    state_.link == Link::kOpen;
      }
    }
    sink_.Emit(event);
    if (com) UpdateQuality();
    if (reconnect) {
      Busy("reconnect");
      Report(PortAction::kClose, instance_.ClosePort(), PortReason::kReconnect);
      Reopen(PortReason::kReconnect);
    }
  }

  // Command 13; on success a warm start brings the controller back. An
  // instance whose port never opened is started instead.
  void Reopen(PortReason reason, const CommandId &id = {}) {
    if (!Started()) {
      StartPort(reason, id);
      return;
    }
    Busy("reopen");
    int32_t result = instance_.ReopenPort();
    Report(PortAction::kReopen, result, reason, id);
    if (result != ULO_DONE) {
      next_reopen_ = Steady::now() + Seconds(host_.reopen_interval);
      SetLink(Link::kLost);
      return;
    }
    bool reconnect = reason == PortReason::kReconnect;
    if (reconnect) {
      Busy("warm start");
      Report(PortAction::kWarmStart, instance_.WarmStart(), reason);
    }
    Resume(reconnect);
  }

  void ChangePort(const PortRequest &request, const CommandId &id) {
    Busy("port " + request.name);
    bool never_opened = !Started();
    bool renamed = request.name != port_.name;
    // The driver cannot reopen the port it holds: new line settings on the
    // same port need it closed first.
    bool closed = renamed;
    if (!renamed && State().link == Link::kOpen) {
      int32_t result = instance_.ClosePort();
      Report(PortAction::kClose, result, PortReason::kCommand);
      closed = result == ULO_DONE;
    }
    port_.name = request.name;
    port_.line.baud = request.baud.value_or(port_.line.baud);
    port_.line.data_bits = request.data_bits.value_or(port_.line.data_bits);
    port_.line.parity = request.parity.value_or(port_.line.parity);
    port_.line.stop_bits = request.stop_bits.value_or(port_.line.stop_bits);
    {
      std::lock_guard lock(mutex_);
      state_.port = port_.name;
    }
    // A start that never opened its port is retried with the new settings.
    if (never_opened) {
      StartPort(PortReason::kCommand, id);
      return;
    }
    PortSpec change = port_;
    change.read_timeout = 0;  // keep the instance's read timeout
    int32_t result = instance_.ChangePort(change);
    Report(PortAction::kChange, result, PortReason::kCommand, id);
    if (result == ULO_DONE) {
      Resume(false);
    } else if (closed) {
      // The old port is closed; keep trying the new settings.
      next_reopen_ = Steady::now() + Seconds(host_.reopen_interval);
      SetLink(Link::kLost);
    }
  }

  // Back to running with a fresh COM count and schedule.
  void Resume(bool reconnected) {
    next_com_ = Steady::now() + Seconds(host_.com_interval);
    {
      std::lock_guard lock(mutex_);
      state_.link = Link::kOpen;
      state_.com_failures = 0;
      if (reconnected) ++state_.reconnects;
    }
    UpdateQuality();
  }

  void SetLink(Link link) {
    {
      std::lock_guard lock(mutex_);
      state_.link = link;
    }
    UpdateQuality();
  }

  // Recomputes the quality the link gives the gates; a change is announced
  // for the gates that have a value.
  void UpdateQuality() {
    std::lock_guard emitting(emit_mutex_);
    Quality quality;
    std::string reason;
    {
      std::lock_guard lock(mutex_);
      bool com_ok = !state_.com || state_.com->result == ULO_DONE;
      switch (state_.link) {
        case Link::kClosed:
          reason = "port closed";
          break;
        case Link::kLost:
          reason = "port lost";
          break;
        case Link::kNoPort:
          reason = "no port";
          break;
        case Link::kFailed:
          reason = "port could not be opened";
          break;
        case Link::kStarting:
        case Link::kOpen:
          reason = com_ok ? (state_.com ? "COM read ok" : "port open")
                          : "COM read failed";
          break;
      }
      bool open = state_.link == Link::kOpen || state_.link == Link::kStarting;
      quality = open && com_ok ? Quality::kGood : Quality::kStale;
      if (quality == state_.quality) return;
      state_.quality = quality;
    }
    QualityEvent event{Clock::now(), config_.ulo, quality, reason, {}};
    for (const GateConfig &gate : config_.gates) {
      if (!IsStatusGate(gate.address) &&
          zempro::ReadGate(static_cast<uint8_t>(config_.ulo), gate.address)) {
        event.gates.push_back(gate.address);
      }
    }
    if (!event.gates.empty()) sink_.Emit(event);
  }

  void Busy(std::string what) {
    std::lock_guard lock(mutex_);
    state_.busy = std::move(what);
  }

  const InstanceConfig &config_;
  const HostConfig &host_;
  EventSink &sink_;
  DriverInstance instance_;
  PortSpec port_;  // mirrors the port settings stored in the workspace

  std::thread thread_;
  std::promise<int32_t> start_result_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::mutex emit_mutex_;  // orders gate events and quality changes
  std::deque<Command> queue_;
  bool stopping_ = false;
  bool started_ = false;      // the port has been opened once
  bool retry_start_ = false;  // set before the worker starts
  InstanceState state_;

  // Only the worker touches these.
  Steady::time_point next_com_{};
  Steady::time_point next_status_{};
  Steady::time_point next_reopen_{};
};

Host::Host(const Config &config, const DriverLibrary &driver,
           const Description &description, EventSink &sink)
    : config_(config), sink_(sink) {
  for (const InstanceConfig &instance : config.instances) {
    runners_.push_back(std::make_unique<Runner>(instance, config.host, driver,
                                                description, sink));
  }
}

Host::~Host() { Shutdown(); }

bool CheckGates(const Config &config, const DriverLibrary &driver,
                const Description &description, ConfigErrors &errors) {
  bool accepted = true;
  for (const InstanceConfig &instance : config.instances) {
    DriverInstance checker(
        driver, instance.ulo,
        static_cast<std::size_t>(description.workspace_size));
    for (const GateConfig &gate : instance.gates) {
      if (checker.CheckGate(gate.address, gate.type).result == ULO_DONE) {
        continue;
      }
      errors.Add(
          {config.file, gate.where,
           "instance[" + std::to_string(instance.index) + "]" +
               (gate.index ? ".gate[" + std::to_string(gate.index) + "].address"
                           : ""),
           "the driver refuses gate '" + gate.address + "' as " +
               (gate.type == ULO_TYPE_FLOAT ? "float" : "digital") +
               " (data gates begin with $ or @; STATUS and COM must be "
               "digital)"});
      accepted = false;
    }
  }
  return accepted;
}

bool Host::Start(bool retry, std::string &error) {
  namespace fs = std::filesystem;
  for (const InstanceConfig &instance : config_.instances) {
    if (!instance.restart_message) continue;
    fs::path file = fs::path(config_.host.workdir) / InitFileName(instance.ulo);
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << *instance.restart_message << '\n';
    out.close();
    if (!out) {
      error = "cannot write " + file.string() + ": " + std::strerror(errno);
      return false;
    }
  }
  for (const InstanceConfig &instance : config_.instances) {
    for (const GateConfig &gate : instance.gates) {
      zempro::DefineGate(static_cast<uint8_t>(instance.ulo), gate.address,
                         gate.type);
    }
  }
  subscription_ = zempro::Subscribe(
      [this](const zempro::GateInfo &gate, const zempro::GateValue &value) {
        SetThreadInstance(gate.instance);  // the receiver's messages too
        for (auto &runner : runners_) {
          if (runner->config().ulo == gate.instance) {
            runner->EmitValue(gate, value);
          }
        }
      });

  std::vector<std::future<int32_t>> results;
  launched_ = true;
  for (auto &runner : runners_) results.push_back(runner->Launch(retry));
  for (std::size_t i = 0; i < runners_.size(); ++i) {
    const InstanceConfig &instance = runners_[i]->config();
    if (results[i].get() != ULO_DONE && !retry && error.empty()) {
      error = config_.file + ":" + std::to_string(instance.port_where.line) +
              ": instance[" + std::to_string(instance.index) + "].port: ulo " +
              std::to_string(instance.ulo) + " cannot open port '" +
              instance.port + "' (in use, or not a serial device?)";
    }
  }
  if (!error.empty()) {
    Shutdown();
    return false;
  }
  sink_.Emit(StateEvent{Clock::now(), HostState::kRunning});
  return true;
}

void Host::Submit(const Command &command) {
  for (auto &runner : runners_) {
    if (runner->config().ulo == command.ulo) runner->Submit(command);
  }
}

std::vector<InstanceState> Host::States() const {
  std::vector<InstanceState> states;
  for (const auto &runner : runners_) states.push_back(runner->State());
  return states;
}

ValuesEvent Host::Values(const CommandId &id) const {
  ValuesEvent event{Clock::now(), {}, id};
  for (const auto &runner : runners_) runner->Snapshot(event.time, event.gates);
  return event;
}

bool Host::ReceiversAlive(Steady::duration within) const {
  std::vector<zempro::ClientInfo> clients = zempro::Clients();
  Steady::time_point now = Steady::now();
  for (const auto &runner : runners_) {
    if (!runner->Started()) continue;
    std::string name = ClientName(runner->config().ulo);
    bool excused = !runner->State().busy.empty();
    bool alive = std::any_of(clients.begin(), clients.end(), [&](auto &c) {
      return c.name == name && !c.stopping &&
             (excused || now - c.last_wait <= within);
    });
    if (!alive) return false;
  }
  return true;
}

void Host::Shutdown() {
  if (shut_down_ || !launched_) return;
  shut_down_ = true;
  sink_.Emit(StateEvent{Clock::now(), HostState::kStopping});
  for (auto &runner : runners_) runner->Stop();
  // The ports are closed while the receivers still run: once a receiver has
  // ended, the driver answers every command with 0 without doing it, so a
  // later close would leave the port open.
  for (auto &runner : runners_) {
    if (runner->Started()) {
      runner->Report(PortAction::kClose, runner->instance().ClosePort(),
                     PortReason::kShutdown);
    }
  }
  zempro::StopAllClients();
  for (auto &runner : runners_) {
    if (!runner->Started()) continue;
    const int ulo = runner->config().ulo;
    if (zempro::WaitClientGone(ClientName(ulo), std::chrono::seconds(10))) {
      // The first command after the receiver has ended releases the
      // instance's event; it does nothing else.
      runner->instance().ClosePort();
    } else {
      runner->instance().Abandon();
      sink_.Emit(NoticeEvent{Clock::now(), NoticeLevel::kError,
                             "ulo " + std::to_string(ulo) +
                                 ": the receiver did not end; its workspace "
                                 "is left allocated"});
    }
  }
  if (subscription_ >= 0) zempro::Unsubscribe(subscription_);
  subscription_ = -1;
  sink_.Emit(StateEvent{Clock::now(), HostState::kStopped});
}

}  // namespace ulohost
