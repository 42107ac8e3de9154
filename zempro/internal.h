// Pieces the modules of the host runtime share; not part of its interface.
#ifndef ZEMPRO_INTERNAL_H
#define ZEMPRO_INTERNAL_H

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace zempro::internal {

// Non-zero results of the host functions; callers only test for non-zero,
// the numbers tell the cases apart in a debugger.
constexpr uint16_t kBadArgument = 1;  // a null name, address or pointer
constexpr uint16_t kNoFreeId = 2;
constexpr uint16_t kUnknownClient = 3;
constexpr uint16_t kUnknownGate = 4;
constexpr uint16_t kRefused = 5;  // the host refused the gate's value

// A list of listeners called in the order they were added. Sends are
// serialised, so every listener sees events in one order, and Remove waits
// for a running send, so a removed listener is never called again after
// Remove returns (its owner may then free what it captured). A listener may
// add or remove listeners; an event it sends itself on the same thread is
// dropped (a log sink that logs would otherwise recurse for ever). A listener
// that throws loses that one event: the callers are C functions.
template <typename... Args>
class Broadcast {
 public:
  using Listener = std::function<void(const Args &...)>;

  int Add(Listener listener) {
    std::lock_guard lock(mutex_);
    const int id = next_id_++;
    listeners_.emplace_back(
        id, std::make_shared<const Listener>(std::move(listener)));
    return id;
  }

  void Remove(int id) {
    std::lock_guard lock(mutex_);
    std::erase_if(listeners_,
                  [id](const auto &entry) { return entry.first == id; });
  }

  void Clear() {
    std::lock_guard lock(mutex_);
    listeners_.clear();
  }

  void Send(const Args &...args) {
    static thread_local bool sending = false;
    if (sending) return;
    std::lock_guard lock(mutex_);
    if (listeners_.empty()) return;
    // A copy, so listeners may change the list while it is walked.
    const auto listeners = listeners_;
    sending = true;
    for (const auto &entry : listeners) {
      try {
        (*entry.second)(args...);
      } catch (...) {
      }
    }
    sending = false;
  }

 private:
  std::recursive_mutex mutex_;
  std::vector<std::pair<int, std::shared_ptr<const Listener>>> listeners_;
  int next_id_ = 1;
};

// Forgets every client (their waits end with 0) and the fault setting.
void ResetClients();

// Tells the client's wait that its instance has traffic (see SetWaitRange).
void NoteClientActivity(uint8_t client);

}  // namespace zempro::internal

#endif  // ZEMPRO_INTERNAL_H
