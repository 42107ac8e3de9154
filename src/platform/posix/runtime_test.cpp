#include <errno.h>
#include <gtest/gtest.h>
#include <pthread.h>

#include <chrono>
#include <future>
#include <string>

#include "os.h"
#include "platform/syscall_faults.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using ulo::sys::Call;
using ulo::sys::FaultScope;

struct Run {
  std::promise<size_t> stack;  // the stack size the thread got
};

void Report(void *arg) {
  pthread_attr_t attributes;
  size_t size = 0;
  if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
    pthread_attr_getstacksize(&attributes, &size);
    pthread_attr_destroy(&attributes);
  }
  static_cast<Run *>(arg)->stack.set_value(size);
}

size_t StackOfThread(unsigned requested) {
  Run run;
  auto stack = run.stack.get_future();
  EXPECT_NE(_beginthread(Report, requested, &run), ~uintptr_t{0});
  EXPECT_EQ(stack.wait_for(5s), std::future_status::ready);
  return stack.get();
}

TEST(ThreadTest, RunsTheFunctionWithAtLeastTheStackAsked) {
  EXPECT_GE(StackOfThread(3 * 1024 * 1024 + 1), 3u * 1024 * 1024 + 1);
  // Small sizes get what a Windows thread may grow to.
  EXPECT_GE(StackOfThread(32768), 1024u * 1024);
}

TEST(ThreadTest, ReportsAFailedStart) {
  FaultScope faults;
  faults.Fail(Call::kPthreadCreate, 1, EAGAIN);
  EXPECT_EQ(_beginthread(Report, 0, nullptr), ~uintptr_t{0});
}

TEST(StruprTest, UppercasesOnlyAsciiLetters) {
  struct Case {
    std::string text, upper;
  } cases[] = {
      {"status", "STATUS"},
      {"$t1 Com 9", "$T1 COM 9"},
      {"`az{", "`AZ{"},  // the neighbours of a and z stay
      {"@AZ[", "@AZ["},  // capitals and their neighbours too
      {"\xe4\xf6\xfc\xff", "\xe4\xf6\xfc\xff"},  // not Latin-1
      {"", ""},
  };
  for (Case &c : cases) {
    std::string text = c.text;
    EXPECT_EQ(_strupr(text.data()), text.data());
    EXPECT_EQ(text, c.upper) << c.text;
  }
}

TEST(SleepTest, SleepsTheWholeTimeThroughInterruptions) {
  FaultScope faults;
  faults.Fail(Call::kNanosleep, 1, EINTR);
  auto start = Clock::now();
  Sleep(50);
  EXPECT_GE(Clock::now() - start, 50ms);
  EXPECT_LT(Clock::now() - start, 5s);
  EXPECT_EQ(faults.Calls(Call::kNanosleep), 2);
}

}  // namespace
