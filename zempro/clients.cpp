// Message clients: registration, the bounded wait and stopping.
#include <algorithm>
#include <array>
#include <condition_variable>

#include "internal.h"
#include "zempro/control.h"

namespace zempro {
namespace {

struct Slot {
  bool used = false;
  bool stopping = false;
  bool active = false;      // traffic since the last wait began
  int wait_ms = 0;          // the last wait
  uint64_t generation = 0;  // changes whenever the slot is taken or freed
  uint64_t registered = 0;  // registration order, for FindClient
  std::chrono::steady_clock::time_point last_wait{};
  std::string name;
};

struct Registry {
  std::mutex mutex;
  std::condition_variable changed;  // a client stopped or went away
  std::array<Slot, 256> slots;      // indexed by id; 0 is never handed out
  int last_id = 0;
  uint64_t registrations = 0;
  uint16_t fail_code = 0;
  int shortest_ms = kDefaultShortestWaitMs;
  int longest_ms = kDefaultLongestWaitMs;

  void Free(Slot &slot) {
    slot.used = false;
    slot.stopping = false;
    slot.name.clear();
    ++slot.generation;
  }
};

// Never destroyed: receiver threads may still wait while the process exits.
Registry &TheRegistry() {
  static auto *registry = new Registry;
  return *registry;
}

}  // namespace

namespace internal {

void ResetClients() {
  Registry &r = TheRegistry();
  std::lock_guard lock(r.mutex);
  for (Slot &slot : r.slots) {
    if (slot.used) r.Free(slot);
  }
  r.fail_code = 0;
  r.changed.notify_all();
}

void NoteClientActivity(uint8_t client) {
  Registry &r = TheRegistry();
  std::lock_guard lock(r.mutex);
  r.slots[client].active = true;
}

}  // namespace internal

std::vector<ClientInfo> Clients() {
  Registry &r = TheRegistry();
  std::lock_guard lock(r.mutex);
  std::vector<ClientInfo> clients;
  for (int id = 1; id < static_cast<int>(r.slots.size()); ++id) {
    const Slot &slot = r.slots[id];
    if (slot.used) {
      clients.push_back(
          {static_cast<uint8_t>(id), slot.name, slot.stopping, slot.last_wait});
    }
  }
  return clients;
}

std::optional<uint8_t> FindClient(const std::string &name) {
  Registry &r = TheRegistry();
  std::lock_guard lock(r.mutex);
  std::optional<uint8_t> found;
  uint64_t newest = 0;
  for (int id = 1; id < static_cast<int>(r.slots.size()); ++id) {
    const Slot &slot = r.slots[id];
    if (slot.used && slot.name == name && slot.registered >= newest) {
      newest = slot.registered;
      found = static_cast<uint8_t>(id);
    }
  }
  return found;
}

void StopClient(uint8_t client) {
  Registry &r = TheRegistry();
  std::lock_guard lock(r.mutex);
  Slot &slot = r.slots[client];
  if (!slot.used) return;
  slot.stopping = true;
  r.changed.notify_all();
}

void StopAllClients() {
  Registry &r = TheRegistry();
  std::lock_guard lock(r.mutex);
  for (Slot &slot : r.slots) {
    if (slot.used) slot.stopping = true;
  }
  r.changed.notify_all();
}

bool WaitClientGone(const std::string &name,
                    std::chrono::milliseconds timeout) {
  Registry &r = TheRegistry();
  std::unique_lock lock(r.mutex);
  return r.changed.wait_for(lock, timeout, [&] {
    return std::none_of(r.slots.begin(), r.slots.end(), [&](const Slot &s) {
      return s.used && s.name == name;
    });
  });
}

void FailMakeClient(uint16_t code) {
  Registry &r = TheRegistry();
  std::lock_guard lock(r.mutex);
  r.fail_code = code;
}

void SetWaitRange(int shortest, int longest) {
  Registry &r = TheRegistry();
  std::lock_guard lock(r.mutex);
  // A wait of 0 would let every receiver spin on its port.
  r.shortest_ms = std::max(shortest, 1);
  r.longest_ms = std::max(longest, r.shortest_ms);
}

void SetWaitMilliseconds(int milliseconds) {
  SetWaitRange(milliseconds, milliseconds);
}

int WaitMilliseconds() {
  Registry &r = TheRegistry();
  std::lock_guard lock(r.mutex);
  return r.shortest_ms;
}

}  // namespace zempro

using zempro::Registry;
using zempro::Slot;
using zempro::TheRegistry;

extern "C" ZEMPRO_API uint16_t Zem5MkClient(const char *name, int32_t, int32_t,
                                            void *client) {
  if (name == nullptr || client == nullptr)
    return zempro::internal::kBadArgument;
  Registry &r = TheRegistry();
  std::lock_guard lock(r.mutex);
  if (r.fail_code != 0) return r.fail_code;
  // Ids rotate, so a stale id held by a slow thread does not at once name
  // the next client.
  for (int step = 1; step <= 255; ++step) {
    const int id = (r.last_id + step - 1) % 255 + 1;
    Slot &slot = r.slots[id];
    if (slot.used) continue;
    slot.used = true;
    slot.stopping = false;
    slot.active = false;
    slot.wait_ms = 0;
    slot.name = name;
    slot.registered = ++r.registrations;
    slot.last_wait = std::chrono::steady_clock::now();
    ++slot.generation;
    r.last_id = id;
    // Only the id byte: the caller reserves 5 bytes but relies on the first.
    static_cast<uint8_t *>(client)[0] = static_cast<uint8_t>(id);
    return 0;
  }
  return zempro::internal::kNoFreeId;
}

extern "C" ZEMPRO_API uint16_t Zem5WaitMsg(uint8_t client, void *, int32_t) {
  Registry &r = TheRegistry();
  std::unique_lock lock(r.mutex);
  Slot &slot = r.slots[client];
  if (client == 0 || !slot.used || slot.stopping) return 0;
  slot.last_wait = std::chrono::steady_clock::now();
  slot.wait_ms =
      slot.active
          ? r.shortest_ms
          : static_cast<int>(std::clamp<int64_t>(int64_t{slot.wait_ms} * 2,
                                                 r.shortest_ms, r.longest_ms));
  slot.active = false;
  const uint64_t generation = slot.generation;
  const bool ended = r.changed.wait_for(
      lock, std::chrono::milliseconds(slot.wait_ms),
      [&] { return slot.stopping || slot.generation != generation; });
  return ended ? 0 : 1;
}

extern "C" ZEMPRO_API uint16_t Zem5RmClient(uint8_t client) {
  Registry &r = TheRegistry();
  std::lock_guard lock(r.mutex);
  Slot &slot = r.slots[client];
  if (client == 0 || !slot.used) return zempro::internal::kUnknownClient;
  r.Free(slot);
  r.changed.notify_all();
  return 0;
}
