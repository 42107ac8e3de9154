#include "output_queue.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

#include "output.h"

namespace ulohost {
namespace {

using Steady = std::chrono::steady_clock;
using std::chrono::seconds;

// What an output got, shared with the test; the output can be held inside
// Emit as a writer stuck on a stalled pipe is.
struct Record {
  std::mutex mutex;
  std::condition_variable changed;
  bool held = false;
  std::vector<std::string> lines;

  std::size_t WaitFor(std::size_t count) {
    std::unique_lock lock(mutex);
    changed.wait_for(lock, seconds(10), [&] { return lines.size() >= count; });
    return lines.size();
  }
  void Release() {
    std::lock_guard lock(mutex);
    held = false;
    changed.notify_all();
  }
};

class RecordingOutput : public Output {
 public:
  explicit RecordingOutput(std::shared_ptr<Record> record)
      : record_(std::move(record)) {}
  void Emit(const Event &event) override {
    std::unique_lock lock(record_->mutex);
    record_->lines.push_back(EventLine(event));
    record_->changed.notify_all();
    record_->changed.wait(lock, [&] { return !record_->held; });
  }

 private:
  std::shared_ptr<Record> record_;
};

Event Numbered(int n) {
  return NoticeEvent{Clock::now(), NoticeLevel::kInfo, std::to_string(n)};
}

TEST(OutputQueueTest, AFullQueueDropsItsOldestAndSaysHowMany) {
  struct Case {
    std::size_t capacity;
    int pushed;  // while the writer is held
  };
  for (Case c : {Case{4, 3}, Case{4, 4}, Case{4, 10}, Case{1, 5}}) {
    SCOPED_TRACE(std::to_string(c.capacity) + " " + std::to_string(c.pushed));
    auto record = std::make_shared<Record>();
    record->held = true;
    OutputQueue queue(std::make_unique<RecordingOutput>(record), c.capacity);
    queue.Emit(Numbered(0));
    ASSERT_EQ(record->WaitFor(1), 1u);
    for (int n = 1; n <= c.pushed; ++n) queue.Emit(Numbered(n));
    record->Release();
    ASSERT_TRUE(queue.Close(Steady::now() + seconds(10)));

    std::vector<std::string> expected = {"info: 0"};
    int kept = std::min(c.pushed, static_cast<int>(c.capacity));
    if (kept < c.pushed) {
      expected.push_back(EventLine(
          LostEvent{Clock::now(), static_cast<uint64_t>(c.pushed - kept)}));
    }
    for (int n = c.pushed - kept + 1; n <= c.pushed; ++n) {
      expected.push_back("info: " + std::to_string(n));
    }
    EXPECT_EQ(record->lines, expected);
  }
}

TEST(OutputQueueTest, AStuckOutputHoldsUpNeitherAnotherNorTheEnd) {
  auto stuck = std::make_shared<Record>();
  stuck->held = true;
  auto other = std::make_shared<Record>();
  {
    Outputs outputs(128);  // room for all: the other writer drops nothing
    outputs.Add(std::make_unique<RecordingOutput>(stuck));
    outputs.Add(std::make_unique<RecordingOutput>(other));
    for (int n = 0; n < 100; ++n) outputs.Emit(Numbered(n));
    EXPECT_EQ(other->WaitFor(100), 100u);
    EXPECT_EQ(stuck->WaitFor(1), 1u);

    Steady::time_point start = Steady::now();
    outputs.Finish();
    EXPECT_LT(Steady::now() - start, Outputs::kFinishTime + seconds(5));
  }
  // The stuck writer, let go after the end, finds its queue closed.
  stuck->Release();
}

}  // namespace
}  // namespace ulohost
