// Deadlines on the monotonic clock for the layer's timed waits.
#ifndef ULOPR1_PLATFORM_POSIX_DEADLINE_H
#define ULOPR1_PLATFORM_POSIX_DEADLINE_H

#include <cstdint>

namespace ulo::os {

constexpr int64_t kNoDeadline = -1;

// The moment milliseconds from now, in nanoseconds.
int64_t DeadlineAfter(uint32_t milliseconds);

// Milliseconds left until deadline, rounded up and capped to what poll
// takes: 0 once it has passed, -1 (wait without end) for kNoDeadline.
int Remaining(int64_t deadline);

}  // namespace ulo::os

#endif  // ULOPR1_PLATFORM_POSIX_DEADLINE_H
