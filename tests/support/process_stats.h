// What the process holds, from /proc/self, for leak checks in the fault
// tests and the soak: threads and resident memory (descriptors are counted
// by sys::OpenFdCount).
#ifndef ULOPR1_TESTS_SUPPORT_PROCESS_STATS_H
#define ULOPR1_TESTS_SUPPORT_PROCESS_STATS_H

#include <cstdint>

namespace ulo::testing {

// Threads of this process (entries of /proc/self/task); -1 when unknown.
int ThreadCount();
// Resident memory in KiB (/proc/self/statm); -1 when unknown.
int64_t ResidentKiB();

}  // namespace ulo::testing

#endif  // ULOPR1_TESTS_SUPPORT_PROCESS_STATS_H
