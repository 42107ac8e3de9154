#include "clock.h"

#include <sys/resource.h>
#include <time.h>

namespace bench {
namespace {

int64_t Nanos(clockid_t clock) {
  timespec now;
  clock_gettime(clock, &now);
  return int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

}  // namespace

int64_t MonotonicNanos() { return Nanos(CLOCK_MONOTONIC); }
int64_t ProcessCpuNanos() { return Nanos(CLOCK_PROCESS_CPUTIME_ID); }

void RaiseFileLimit() {
  rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 &&
      limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

}  // namespace bench
