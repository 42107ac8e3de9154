#!/usr/bin/env bash
# Runs every fuzz target for a while, each from its seed corpus in the repo.
# Usage: fuzz/run.sh BUILD_DIR SECONDS [TARGET...]
# New inputs go to BUILD_DIR/fuzz/corpus/TARGET (the seeds stay as they are);
# a crash leaves its input in BUILD_DIR/fuzz/findings/TARGET and fails the
# run. Copy that input into fuzz/regressions/TARGET: the test builds replay
# it from then on.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "$1" && pwd)"
seconds="$2"
shift 2
targets=("$@")
[ "${#targets[@]}" -gt 0 ] ||
  targets=(receiver echo init_file gate_address err_format telnet ulohost_config)

# The fuzzers use the sanitizer's shared runtime, which the C++ library
# libFuzzer needs is loaded before. The runtime still starts first (from the
# program's pre-init array), so the order check is a false alarm here.
export ASAN_OPTIONS="verify_asan_link_order=0:detect_leaks=1:${ASAN_OPTIONS:-}"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:${UBSAN_OPTIONS:-}"

failed=()
for target in "${targets[@]}"; do
  program="$build/fuzz/fuzz_$target"
  corpus="$build/fuzz/corpus/$target"
  findings="$build/fuzz/findings/$target"
  mkdir -p "$corpus" "$findings"
  seeds=("$root/fuzz/corpus/$target")
  [ -d "$root/fuzz/regressions/$target" ] &&
    seeds+=("$root/fuzz/regressions/$target")
  echo "== fuzz_$target for ${seconds}s"
  if "$program" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$findings/" \
      "$corpus" "${seeds[@]}" >"$build/fuzz/$target.log" 2>&1; then
    grep -E '^stat::(number_of_executed_units|new_units_added|peak_rss_mb)' \
      "$build/fuzz/$target.log" | tr '\n' ' '
    echo
  else
    tail -n 40 "$build/fuzz/$target.log"
    echo "fuzz_$target FAILED: inputs in $findings"
    failed+=("$target")
  fi
done
if [ "${#failed[@]}" -gt 0 ]; then
  echo "fuzz targets that failed: ${failed[*]}"
  exit 1
fi
echo "fuzz: ${#targets[@]} of ${#targets[@]} targets ran clean for ${seconds}s"
