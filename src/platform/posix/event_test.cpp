// Events, and the handle table they share with ports.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <set>
#include <thread>
#include <vector>

#include "os.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
constexpr auto kBound = 5s;

HANDLE NewEvent(BOOL initial = FALSE) {
  return CreateEventA(nullptr, FALSE, initial, nullptr);
}

TEST(EventTest, ResetsItselfOnAWait) {
  HANDLE event = NewEvent();
  ASSERT_NE(event, 0u);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
  EXPECT_TRUE(SetEvent(event));
  EXPECT_TRUE(SetEvent(event));  // no count: one wait takes both
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
  EXPECT_TRUE(CloseHandle(event));

  HANDLE set = NewEvent(TRUE);
  EXPECT_EQ(WaitForSingleObject(set, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(set, 0), WAIT_TIMEOUT);
  EXPECT_TRUE(CloseHandle(set));
}

TEST(EventTest, WaitTimesOutAfterTheTime) {
  HANDLE event = NewEvent();
  auto start = Clock::now();
  EXPECT_EQ(WaitForSingleObject(event, 100), WAIT_TIMEOUT);
  EXPECT_GE(Clock::now() - start, 100ms);
  EXPECT_LT(Clock::now() - start, kBound);
  EXPECT_TRUE(CloseHandle(event));
}

TEST(EventTest, SetWakesAWaiterAndCloseFailsIt) {
  HANDLE event = NewEvent();
  auto wait = [event] { return WaitForSingleObject(event, INFINITE); };
  auto woken = std::async(std::launch::async, wait);
  EXPECT_EQ(woken.wait_for(50ms), std::future_status::timeout);
  EXPECT_TRUE(SetEvent(event));
  ASSERT_EQ(woken.wait_for(kBound), std::future_status::ready);
  EXPECT_EQ(woken.get(), WAIT_OBJECT_0);

  auto failed = std::async(std::launch::async, wait);
  EXPECT_EQ(failed.wait_for(50ms), std::future_status::timeout);
  EXPECT_TRUE(CloseHandle(event));
  ASSERT_EQ(failed.wait_for(kBound), std::future_status::ready);
  EXPECT_EQ(failed.get(), WAIT_FAILED);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_FAILED);
  EXPECT_FALSE(SetEvent(event));
}

TEST(EventTest, OnlyUnnamedAutoResetEvents) {
  EXPECT_EQ(CreateEventA(nullptr, TRUE, FALSE, nullptr), 0u);
  EXPECT_EQ(CreateEventA(nullptr, FALSE, FALSE, "name"), 0u);
}

TEST(HandleTest, ValuesAreNeverReusedOrReserved) {
  std::set<HANDLE> seen;
  for (int i = 0; i < 1000; ++i) {
    HANDLE event = NewEvent();
    ASSERT_NE(event, 0u);
    ASSERT_NE(event, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(seen.insert(event).second) << event;
    ASSERT_TRUE(CloseHandle(event));
  }
  for (HANDLE bogus : {0u, INVALID_HANDLE_VALUE, 0x12345678u, 0x100u}) {
    EXPECT_FALSE(SetEvent(bogus));
    EXPECT_FALSE(CloseHandle(bogus));
  }
}

TEST(HandleTest, KindsAreKeptApart) {
  HANDLE event = NewEvent();
  HANDLE null = CreateFileA("NUL", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, 0);
  ASSERT_NE(null, INVALID_HANDLE_VALUE);
  DWORD count;
  EXPECT_FALSE(WriteFile(event, "x", 1, &count, nullptr));
  EXPECT_FALSE(SetEvent(null));
  EXPECT_EQ(WaitForSingleObject(null, 0), WAIT_FAILED);
  EXPECT_TRUE(CloseHandle(event));
  EXPECT_TRUE(CloseHandle(null));
}

TEST(HandleTest, AFullTableRefusesThenRecovers) {
  std::vector<HANDLE> events;
  for (HANDLE event; (event = NewEvent()) != 0;) {
    events.push_back(event);
    ASSERT_LE(events.size(), 10000u);
  }
  EXPECT_GE(events.size(), 64u);
  ASSERT_TRUE(CloseHandle(events.back()));
  events.back() = NewEvent();
  EXPECT_NE(events.back(), 0u);
  for (HANDLE event : events) EXPECT_TRUE(CloseHandle(event));
}

TEST(HandleTest, ThreadsCreatingAndClosingStayApart) {
  auto churn = [] {
    bool apart = true;
    for (int i = 0; i < 500; ++i) {
      HANDLE event = NewEvent();
      apart = apart && event != 0 && SetEvent(event) &&
              WaitForSingleObject(event, 0) == WAIT_OBJECT_0 &&
              WaitForSingleObject(event, 0) == WAIT_TIMEOUT &&
              CloseHandle(event);
    }
    return apart;
  };
  std::vector<std::future<bool>> threads;
  for (int i = 0; i < 4; ++i) {
    threads.push_back(std::async(std::launch::async, churn));
  }
  for (auto &thread : threads) EXPECT_TRUE(thread.get());
}

}  // namespace
