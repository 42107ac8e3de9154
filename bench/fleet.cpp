#include "fleet.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <thread>

namespace bench {
namespace {

using namespace std::chrono_literals;

constexpr char kReceiverStarted[] = "UloPR1: Start Report-By-Exception Thread";
// The receiver sleeps this long after its start message before it first
// looks at the port; a little more, so every receiver is in its loop.
constexpr auto kReceiverStartDelay = 1100ms;
constexpr int32_t kReadTimeoutUnits = 100;  // 1 s, in 10 ms units

// Counts the receivers' start messages while the fleet starts; removed
// before measuring, so the log costs what it costs without sinks.
class StartWatch {
 public:
  StartWatch()
      : sink_(zempro::AddLogSink([this](const zempro::LogRecord &record) {
          if (record.text != kReceiverStarted) return;
          std::lock_guard lock(mutex_);
          ++started_;
          changed_.notify_all();
        })) {}
  ~StartWatch() { zempro::RemoveLogSink(sink_); }

  bool WaitFor(int count, std::chrono::seconds limit) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return started_ >= count; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int started_ = 0;
  int sink_;
};

}  // namespace

DeliveryLog::DeliveryLog(std::size_t capacity) : log_(capacity) {
  subscription_ = zempro::Subscribe(
      [this](const zempro::GateInfo &gate, const zempro::GateValue &value) {
        int64_t now = MonotonicNanos();
        uint64_t at = next_.load(std::memory_order_relaxed);
        if (at < log_.size()) log_[at] = {now, gate.id, value.value};
        next_.store(at + 1, std::memory_order_release);
      });
}

DeliveryLog::~DeliveryLog() { zempro::Unsubscribe(subscription_); }

std::size_t DeliveryLog::Dump(const std::string &path) const {
  std::size_t kept = std::min<std::size_t>(count(), log_.size());
  std::FILE *out = std::fopen(path.c_str(), "w");
  if (out == nullptr) return 0;
  for (std::size_t i = 0; i < kept; ++i) {
    std::fprintf(out, "%lld %d %.17g\n", static_cast<long long>(log_[i].nanos),
                 log_[i].gate, log_[i].value);
  }
  std::fclose(out);
  return kept;
}

uint16_t LineSettingBaud(unsigned baud) {
  return static_cast<uint16_t>(std::min(baud, 57600u));
}

bool Fleet::Load(const FleetOptions &options, std::string &error) {
  options_ = options;
  library_ = ulohost::DriverLibrary::Load(options.driver_path, error);
  if (!library_) return false;
  ulohost::Description description = library_->Describe();
  for (int ulo = 1; ulo <= options.instances; ++ulo) {
    instances_.push_back(std::make_unique<ulohost::DriverInstance>(
        *library_, ulo, static_cast<std::size_t>(description.workspace_size)));
  }
  return true;
}

bool Fleet::Start(std::string &error) {
  StartWatch watch;
  int count = static_cast<int>(instances_.size());
  // Gates first: the controller answers the restart message with every
  // point at once.
  for (int ulo = 1; ulo <= count; ++ulo) {
    for (const std::string &address : options_.addresses) {
      int32_t id = zempro::DefineGate(static_cast<uint8_t>(ulo), address,
                                      ULO_TYPE_FLOAT);
      gates_.push_back({id, ulo, address});
    }
  }
  std::vector<int32_t> results(instances_.size(), ULO_DONE);
  std::vector<std::thread> starters;
  // Each start sends the restart message at 100 ms a character, so the
  // instances start side by side; each instance from one thread only.
  for (int t = 0; t < std::min(options_.start_threads, count); ++t) {
    starters.emplace_back([&, t] {
      for (int i = t; i < count; i += options_.start_threads) {
        ulohost::DriverInstance &instance = *instances_[i];
        char name[32];
        std::snprintf(name, sizeof name, ULO_INIT_FILE_FORMAT, instance.ulo());
        // An empty restart message: one CR, 100 ms.
        std::ofstream(name) << '\n';
        ulohost::PortSpec port{"COM" + std::to_string(options_.first_port + i),
                               kReadTimeoutUnits,
                               {LineSettingBaud(options_.baud), 8, 1, 0}};
        results[i] = instance.Start(port, true);
        for (const std::string &address : options_.addresses) {
          instance.CheckGate(address, ULO_TYPE_FLOAT);
        }
      }
    });
  }
  for (std::thread &starter : starters) starter.join();
  for (int i = 0; i < count; ++i) {
    if (results[i] != ULO_DONE) {
      error = "instance " + std::to_string(i + 1) + " did not start (COM" +
              std::to_string(options_.first_port + i) + ")";
      return false;
    }
  }
  if (!watch.WaitFor(count, std::chrono::seconds(30))) {
    error = "not every receiver started";
    return false;
  }
  std::this_thread::sleep_for(kReceiverStartDelay);
  return true;
}

void Fleet::Stop() {
  zempro::StopAllClients();
  for (int waited = 0; !zempro::Clients().empty() && waited < 100; ++waited) {
    std::this_thread::sleep_for(50ms);
  }
  for (auto &instance : instances_) instance->ClosePort();
}

}  // namespace bench
