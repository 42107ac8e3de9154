#include "deadline.h"

#include <time.h>

#include <climits>

namespace ulo::os {
namespace {

constexpr int64_t kPerMillisecond = 1000000;

int64_t Now() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1000 * kPerMillisecond + now.tv_nsec;
}

}  // namespace

int64_t DeadlineAfter(uint32_t milliseconds) {
  return Now() + milliseconds * kPerMillisecond;
}

int Remaining(int64_t deadline) {
  if (deadline == kNoDeadline) return -1;
  int64_t left = deadline - Now();
  if (left <= 0) return 0;
  int64_t milliseconds = (left + kPerMillisecond - 1) / kPerMillisecond;
  return milliseconds > INT_MAX ? INT_MAX : static_cast<int>(milliseconds);
}

}  // namespace ulo::os
