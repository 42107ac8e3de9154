#include "instances.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <thread>

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
      return "failed";
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
  // result.
  std::future<int32_t> Launch() {
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

  // After the worker has ended: whether the instance holds a port and a
  // receiver that must be stopped.
  bool Started() const {
    std::lock_guard lock(mutex_);
    return started_;
  }

  // Port-related event on behalf of the caller (the host during shutdown).
  void Report(PortAction action, int32_t result, PortReason reason) {
    sink_.Emit(PortEvent{Clock::now(), config_.ulo, action, result, reason,
                         port_.name});
  }

 private:
  void Run() {
    int32_t result = instance_.Start(port_, config_.enabled);
    Report(PortAction::kStart, result, PortReason::kStartup);
    Link link = !config_.enabled     ? Link::kNoPort
                : result == ULO_DONE ? Link::kOpen
                                     : Link::kFailed;
    {
      std::lock_guard lock(mutex_);
      started_ = config_.enabled && result == ULO_DONE;
    }
    SetLink(link);
    Steady::time_point now = Steady::now();
    next_com_ = now + Seconds(host_.com_interval);
    next_status_ = now + Seconds(host_.status_interval);
    start_result_.set_value(result);

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
    }
  }

  void Execute(const Command &command) {
    switch (command.verb) {
      case Verb::kWrite:
        Write(command);
        break;
      case Verb::kStatus:
        ReadGate(StatusGate::kStatus, false);
        break;
      case Verb::kCom:
        ReadGate(StatusGate::kCom, false);
        break;
      case Verb::kWarmStart:
        Busy("warm start");
        Report(PortAction::kWarmStart, instance_.WarmStart(),
               PortReason::kCommand);
        break;
      case Verb::kClose: {
        Busy("close");
        int32_t result = instance_.ClosePort();
        Report(PortAction::kClose, result, PortReason::kCommand);
        if (result == ULO_DONE) SetLink(Link::kClosed);
        break;
      }
      case Verb::kReopen:
        Reopen(PortReason::kCommand);
        break;
      case Verb::kPort:
        ChangePort(command.port);
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
                          command.value, result, SecondsSince(start)});
  }

  // The STATUS and COM gates are read by the names the config gave them.
  std::string GateName(const char *status) const {
    for (const GateConfig &gate : config_.gates) {
      if (EqualsIgnoringCase(gate.address, status)) return gate.address;
    }
    return status;
  }

  void ReadGate(StatusGate which, bool scheduled) {
    bool com = which == StatusGate::kCom;
    const char *name = StatusGateName(which);
    Busy(std::string("read ") + name);
    Steady::time_point start = Steady::now();
    ReadResult read = instance_.Read(GateName(name));
    ReadEvent event{Clock::now(),       config_.ulo, name,
                    read.result,        read.value,  scheduled,
                    SecondsSince(start)};
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
    if (reconnect) {
      Busy("reconnect");
      Report(PortAction::kClose, instance_.ClosePort(), PortReason::kReconnect);
      Reopen(PortReason::kReconnect);
    }
  }

  // Command 13; on success a warm start brings the controller back.
  void Reopen(PortReason reason) {
    Busy("reopen");
    int32_t result = instance_.ReopenPort();
    Report(PortAction::kReopen, result, reason);
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

  void ChangePort(const PortRequest &request) {
    Busy("port " + request.name);
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
    PortSpec change = port_;
    change.read_timeout = 0;  // keep the instance's read timeout
    int32_t result = instance_.ChangePort(change);
    {
      std::lock_guard lock(mutex_);
      state_.port = port_.name;
    }
    Report(PortAction::kChange, result, PortReason::kCommand);
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
    std::lock_guard lock(mutex_);
    state_.link = Link::kOpen;
    state_.com_failures = 0;
    if (reconnected) ++state_.reconnects;
  }

  void SetLink(Link link) {
    std::lock_guard lock(mutex_);
    state_.link = link;
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
  std::deque<Command> queue_;
  bool stopping_ = false;
  bool started_ = false;
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

bool Host::CheckGates(ConfigError &error) {
  for (auto &runner : runners_) {
    const InstanceConfig &instance = runner->config();
    for (std::size_t i = 0; i < instance.gates.size(); ++i) {
      const GateConfig &gate = instance.gates[i];
      CheckedGate checked =
          runner->instance().CheckGate(gate.address, gate.type);
      if (checked.result == ULO_DONE) continue;
      bool listed = gate.where.line != instance.where.line ||
                    gate.where.column != instance.where.column;
      error = {
          config_.file, gate.where,
          "instance[" + std::to_string(instance.index) + "]" +
              (listed ? ".gate[" + std::to_string(i + 1) + "].address" : ""),
          "the driver refuses gate '" + gate.address + "' as " +
              (gate.type == ULO_TYPE_FLOAT ? "float" : "digital") +
              " (data gates begin with $ or @; STATUS and COM must be "
              "digital)"};
      return false;
    }
  }
  return true;
}

bool Host::Start(std::string &error) {
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
        sink_.Emit(GateEvent{value.time, gate.instance, gate.address,
                             value.value, value.updates});
      });

  std::vector<std::future<int32_t>> results;
  launched_ = true;
  for (auto &runner : runners_) results.push_back(runner->Launch());
  for (std::size_t i = 0; i < runners_.size(); ++i) {
    const InstanceConfig &instance = runners_[i]->config();
    if (results[i].get() != ULO_DONE && error.empty()) {
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
