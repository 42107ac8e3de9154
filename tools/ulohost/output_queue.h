// Hands the host's events to its outputs without ever waiting for one.
// Each output has a bounded queue and a writer thread of its own, so a
// consumer that stops reading holds up neither a receiver nor another
// output. A full queue drops its oldest events; the output is then given a
// LostEvent with how many it lost, ahead of the events that follow.
#ifndef ULOPR1_TOOLS_ULOHOST_OUTPUT_QUEUE_H
#define ULOPR1_TOOLS_ULOHOST_OUTPUT_QUEUE_H

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <vector>

#include "sink.h"

namespace ulohost {

// Events an output may have waiting before the oldest are dropped.
inline constexpr std::size_t kOutputQueueEvents = 4096;

// One output behind its queue. Every call returns after a short lock; the
// output's own calls all come from the writer thread, in order.
class OutputQueue {
 public:
  OutputQueue(std::unique_ptr<Output> output, std::size_t capacity);
  // Closes at once if Close was not called: the writer is left to itself.
  ~OutputQueue();
  OutputQueue(const OutputQueue &) = delete;
  OutputQueue &operator=(const OutputQueue &) = delete;

  void Emit(const Event &event);
  // The latest states only: a slow output skips frames, not events.
  void Refresh(const std::vector<InstanceState> &states);
  void Prompt();
  void Reopen();
  // Takes no more events, lets the writer write what is queued and finish
  // the output, and waits for that until deadline. False when the writer
  // did not end in time: it is left running (stuck in a write, say), and
  // keeps what it uses alive itself.
  bool Close(std::chrono::steady_clock::time_point deadline);

 private:
  struct State;
  static void Write(State &state);
  std::shared_ptr<State> state_;
};

// Every output of the host, each behind its own queue.
class Outputs : public Output {
 public:
  // How long Finish waits for the writers altogether.
  static constexpr std::chrono::seconds kFinishTime{3};

  explicit Outputs(std::size_t capacity = kOutputQueueEvents)
      : capacity_(capacity) {}
  // Outputs are added before events flow.
  void Add(std::unique_ptr<Output> output);
  // Emits to the outputs added so far: for an output that reports trouble
  // of its own to the others.
  std::function<void(const Event &)> Teller() const;

  void Emit(const Event &event) override;
  void Refresh(const std::vector<InstanceState> &states) override;
  void Prompt() override;
  void Reopen() override;
  // Closes every queue within kFinishTime, whatever the writers do.
  void Finish() override;

 private:
  std::size_t capacity_;
  std::vector<std::shared_ptr<OutputQueue>> queues_;
};

}  // namespace ulohost

#endif  // ULOPR1_TOOLS_ULOHOST_OUTPUT_QUEUE_H
