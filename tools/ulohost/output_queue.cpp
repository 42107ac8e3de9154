#include "output_queue.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>

namespace ulohost {

struct OutputQueue::State {
  std::unique_ptr<Output> output;
  std::size_t capacity;
  std::mutex mutex;
  std::condition_variable wake;
  std::condition_variable ended_changed;
  std::deque<Event> events;
  uint64_t lost = 0;
  std::optional<std::vector<InstanceState>> states;
  bool prompt = false;
  bool reopen = false;
  bool closing = false;
  bool ended = false;
};

OutputQueue::OutputQueue(std::unique_ptr<Output> output, std::size_t capacity)
    : state_(std::make_shared<State>()) {
  state_->output = std::move(output);
  state_->capacity = capacity;
  std::thread([state = state_] { Write(*state); }).detach();
}

OutputQueue::~OutputQueue() { Close(std::chrono::steady_clock::now()); }

void OutputQueue::Emit(const Event &event) {
  std::lock_guard lock(state_->mutex);
  if (state_->closing) return;
  if (state_->events.size() >= state_->capacity) {
    state_->events.pop_front();
    ++state_->lost;
  }
  state_->events.push_back(event);
  state_->wake.notify_one();
}

void OutputQueue::Refresh(const std::vector<InstanceState> &states) {
  std::lock_guard lock(state_->mutex);
  state_->states = states;
  state_->wake.notify_one();
}

void OutputQueue::Prompt() {
  std::lock_guard lock(state_->mutex);
  state_->prompt = true;
  state_->wake.notify_one();
}

void OutputQueue::Reopen() {
  std::lock_guard lock(state_->mutex);
  state_->reopen = true;
  state_->wake.notify_one();
}

bool OutputQueue::Close(std::chrono::steady_clock::time_point deadline) {
  std::unique_lock lock(state_->mutex);
  state_->closing = true;
  state_->wake.notify_one();
  return state_->ended_changed.wait_until(lock, deadline,
                                          [&] { return state_->ended; });
}

void OutputQueue::Write(State &state) {
  std::unique_lock lock(state.mutex);
  while (true) {
    state.wake.wait(lock, [&] {
      return !state.events.empty() || state.lost > 0 || state.states ||
             state.prompt || state.reopen || state.closing;
    });
    std::deque<Event> events = std::move(state.events);
    state.events.clear();
    uint64_t lost = std::exchange(state.lost, 0);
    std::optional<std::vector<InstanceState>> states =
        std::exchange(state.states, std::nullopt);
    bool prompt = std::exchange(state.prompt, false);
    bool reopen = std::exchange(state.reopen, false);
    bool closing = state.closing;
    lock.unlock();
    // Reopened first, so that what the host says about it is in the new file.
    if (reopen) state.output->Reopen();
    if (lost > 0) state.output->Emit(LostEvent{Clock::now(), lost});
    for (const Event &event : events) state.output->Emit(event);
    if (states) state.output->Refresh(*states);
    if (prompt) state.output->Prompt();
    lock.lock();
    // Once closing no event is added: what was queued is now written.
    if (closing && state.events.empty()) break;
  }
  lock.unlock();
  state.output->Finish();
  lock.lock();
  state.ended = true;
  state.ended_changed.notify_all();
}

void Outputs::Add(std::unique_ptr<Output> output) {
  queues_.push_back(
      std::make_shared<OutputQueue>(std::move(output), capacity_));
}

std::function<void(const Event &)> Outputs::Teller() const {
  return [queues = queues_](const Event &event) {
    for (const auto &queue : queues) queue->Emit(event);
  };
}

void Outputs::Emit(const Event &event) {
  for (const auto &queue : queues_) queue->Emit(event);
}

void Outputs::Refresh(const std::vector<InstanceState> &states) {
  for (const auto &queue : queues_) queue->Refresh(states);
}

void Outputs::Prompt() {
  for (const auto &queue : queues_) queue->Prompt();
}

void Outputs::Reopen() {
  for (const auto &queue : queues_) queue->Reopen();
}

void Outputs::Finish() {
  auto deadline = std::chrono::steady_clock::now() + kFinishTime;
  for (const auto &queue : queues_) queue->Close(deadline);
}

}  // namespace ulohost
