// Gates per instance, their values and subscribers, and the instances'
// communication status.
#include <array>
#include <map>

#include "internal.h"
#include "zempro/control.h"

namespace zempro {
namespace {

struct Gate {
  GateInfo info;
  std::optional<GateValue> value;
  bool refused = false;
};

struct GateTable {
  std::mutex mutex;
  std::vector<Gate> gates;  // the gate with id n is gates[n - 1]
  std::map<std::pair<uint8_t, std::string>, int32_t> ids;
  std::array<CommStatus, 256> comm;

  Gate *Find(int32_t id) {
    if (id < 1 || id > static_cast<int32_t>(gates.size())) return nullptr;
    return &gates[static_cast<std::size_t>(id - 1)];
  }
};

// Never destroyed: receiver threads may still store values while the process
// exits.
GateTable &Table() {
  static auto *table = new GateTable;
  return *table;
}

internal::Broadcast<GateInfo, GateValue> &Listeners() {
  static auto *listeners = new internal::Broadcast<GateInfo, GateValue>;
  return *listeners;
}

}  // namespace

int32_t DefineGate(uint8_t instance, const std::string &address, int32_t type) {
  GateTable &t = Table();
  std::lock_guard lock(t.mutex);
  const auto [it, added] = t.ids.try_emplace(
      {instance, address}, static_cast<int32_t>(t.gates.size() + 1));
  if (added) t.gates.push_back({{it->second, instance, address, type}, {}});
  return it->second;
}

std::vector<GateInfo> Gates() {
  GateTable &t = Table();
  std::lock_guard lock(t.mutex);
  std::vector<GateInfo> gates;
  for (const Gate &gate : t.gates) gates.push_back(gate.info);
  return gates;
}

std::optional<GateValue> ReadGateById(int32_t id) {
  GateTable &t = Table();
  std::lock_guard lock(t.mutex);
  const Gate *gate = t.Find(id);
  return gate == nullptr ? std::nullopt : gate->value;
}

std::optional<GateValue> ReadGate(uint8_t instance,
                                  const std::string &address) {
  GateTable &t = Table();
  int32_t id = 0;
  {
    std::lock_guard lock(t.mutex);
    const auto it = t.ids.find({instance, address});
    if (it == t.ids.end()) return std::nullopt;
    id = it->second;
  }
  return ReadGateById(id);
}

void RefuseGate(int32_t id, bool refuse) {
  GateTable &t = Table();
  std::lock_guard lock(t.mutex);
  if (Gate *gate = t.Find(id)) gate->refused = refuse;
}

int Subscribe(GateListener listener) {
  return Listeners().Add(std::move(listener));
}

void Unsubscribe(int subscription) { Listeners().Remove(subscription); }

CommStatus GetCommStatus(uint8_t instance) {
  GateTable &t = Table();
  std::lock_guard lock(t.mutex);
  return t.comm[instance];
}

void Reset() {
  {
    GateTable &t = Table();
    std::lock_guard lock(t.mutex);
    t.gates.clear();
    t.ids.clear();
    t.comm.fill({});
  }
  Listeners().Clear();
  internal::ResetClients();
}

}  // namespace zempro

using zempro::Gate;
using zempro::GateTable;
using zempro::Table;

extern "C" ZEMPRO_API uint16_t Zem5GetGateIdByAddressStr(uint8_t client,
                                                         uint8_t instance,
                                                         const char *address,
                                                         int32_t *gate_id) {
  if (address == nullptr || gate_id == nullptr)
    return zempro::internal::kBadArgument;
  zempro::internal::NoteClientActivity(client);
  GateTable &t = Table();
  std::lock_guard lock(t.mutex);
  const auto it = t.ids.find({instance, address});
  if (it == t.ids.end()) return zempro::internal::kUnknownGate;
  *gate_id = it->second;
  return 0;
}

extern "C" ZEMPRO_API uint16_t Zem5PutGateVal(uint8_t client, int32_t gate_id,
                                              int32_t, double value, int32_t,
                                              int32_t) {
  zempro::GateInfo info;
  zempro::GateValue stored;
  {
    GateTable &t = Table();
    std::lock_guard lock(t.mutex);
    Gate *gate = t.Find(gate_id);
    if (gate == nullptr) return zempro::internal::kUnknownGate;
    if (gate->refused) return zempro::internal::kRefused;
    stored.value = value;
    stored.time = zempro::Clock::now();
    stored.updates = gate->value ? gate->value->updates + 1 : 1;
    gate->value = stored;
    info = gate->info;
  }
  zempro::internal::NoteClientActivity(client);
  // Outside the table's lock: a subscriber may read gates.
  zempro::Listeners().Send(info, stored);
  return 0;
}

extern "C" ZEMPRO_API uint16_t Zem5SetPlcCommStatus(uint8_t, uint8_t instance,
                                                    int32_t, int32_t, int32_t) {
  GateTable &t = Table();
  std::lock_guard lock(t.mutex);
  zempro::CommStatus &status = t.comm[instance];
  ++status.failures;
  status.last = zempro::Clock::now();
  return 0;
}
