// Clocks and limits every benchmark program shares.
#ifndef ULOPR1_BENCH_CLOCK_H
#define ULOPR1_BENCH_CLOCK_H

#include <cstdint>

namespace bench {

// CLOCK_MONOTONIC (the steady clock), as the simulators stamp their frames.
int64_t MonotonicNanos();
// CPU time of the whole process: every thread, user and kernel.
int64_t ProcessCpuNanos();

// Raises the open-file limit to its hard maximum (each line costs several
// descriptors).
void RaiseFileLimit();

}  // namespace bench

#endif  // ULOPR1_BENCH_CLOCK_H
