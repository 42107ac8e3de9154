// The driver's instances for measurements (the fleet) and the log of what
// reaches the host: loaded as a real host loads the driver library, started
// on named ports, their gates defined in the stand-in host runtime, each
// value recorded with the time it arrives there.
#ifndef ULOPR1_BENCH_FLEET_H
#define ULOPR1_BENCH_FLEET_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "clock.h"
#include "driver.h"
#include "zempro/control.h"

namespace bench {

// One value the host stored: when, for which gate, and what.
struct Delivery {
  int64_t nanos;
  int32_t gate;
  double value;
};

// Keeps every delivered value, with its arrival time, in a log of fixed
// capacity sized up front (the listener runs on the driver's threads and
// must stay cheap and allocation-free).
class DeliveryLog {
 public:
  explicit DeliveryLog(std::size_t capacity);
  ~DeliveryLog();
  DeliveryLog(const DeliveryLog &) = delete;
  DeliveryLog &operator=(const DeliveryLog &) = delete;

  // Values delivered so far (including any beyond the capacity).
  uint64_t count() const { return next_.load(std::memory_order_acquire); }
  // Writes "NANOS GATE VALUE" lines; returns how many were kept.
  std::size_t Dump(const std::string &path) const;

 private:
  std::vector<Delivery> log_;
  std::atomic<uint64_t> next_{0};
  int subscription_;
};

struct FleetOptions {
  std::string driver_path;
  int instances = 1;
  int first_port = 1;  // ports are COM<first_port> onwards
  unsigned baud = 9600;
  std::vector<std::string> addresses;  // gates defined on every instance
  int start_threads = 16;              // instances started side by side
};

// The driver's instances, numbered 1..instances, each on its own port.
class Fleet {
 public:
  // Loads the driver; false with error set when it cannot.
  bool Load(const FleetOptions &options, std::string &error);
  // Writes the init files into the working directory, starts every
  // instance, checks and defines its gates, and returns once every receiver
  // runs. False with error set when a start fails.
  bool Start(std::string &error);
  // Stops the receivers and closes the ports.
  void Stop();

  // Gate id -> (instance, address), as JSON-friendly rows.
  struct GateRow {
    int32_t id;
    int instance;
    std::string address;
  };
  const std::vector<GateRow> &gates() const { return gates_; }
  ulohost::DriverInstance &instance(int index) { return *instances_[index]; }

 private:
  FleetOptions options_;
  std::unique_ptr<ulohost::DriverLibrary> library_;
  std::vector<std::unique_ptr<ulohost::DriverInstance>> instances_;
  std::vector<GateRow> gates_;
};

// The largest baud rate the driver's 16-bit line setting can carry: faster
// lines are started at this value (on a pseudo-terminal the setting has no
// effect; the simulator paces the bytes).
uint16_t LineSettingBaud(unsigned baud);

}  // namespace bench

#endif  // ULOPR1_BENCH_FLEET_H
