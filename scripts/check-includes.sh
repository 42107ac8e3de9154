#!/usr/bin/env bash
# Checks that the driver's rooms include only downwards, and that nothing
# outside the platform layer includes one of its implementations.
#
# The rooms of src/, each with the rooms it may include (besides itself and
# the public headers in include/):
#   platform   -                      instance   -
#   host       -                      serial     platform
#   line       serial instance platform
#   protocol   line serial instance host platform
#   lifecycle  protocol line serial instance host platform
#   gates      lifecycle protocol line serial instance host platform
#   driver     every room
# Tests (*_test.cpp) may reach above their room; they too stay out of the
# platform's implementations. Prints every offending include; exit 1 if any.
set -euo pipefail
cd "$(dirname "$0")/.."

declare -A allowed=(
  [platform]=""
  [instance]=""
  [host]=""
  [serial]="platform"
  [line]="serial instance platform"
  [protocol]="line serial instance host platform"
  [lifecycle]="protocol line serial instance host platform"
  [gates]="lifecycle protocol line serial instance host platform"
  [driver]="gates lifecycle protocol line serial instance host platform"
)

status=0
fail() {
  echo "$1: includes $2: $3" >&2
  status=1
}

while IFS= read -r file; do
  room=""
  [[ $file == src/*/* ]] && room=${file#src/} && room=${room%%/*}
  while IFS= read -r target; do
    # The platform's implementations are its own business.
    if [[ $room != platform &&
          ( $target == platform/posix/* || $target == platform/windows/* ||
            $target == os.h ) ]]; then
      fail "$file" "$target" "a platform implementation header (use platform/os.h)"
      continue
    fi
    [[ -z $room || $file == *_test.cpp || $target != */* ]] && continue
    other=${target%%/*}
    [[ -z ${allowed[$other]+x} || $other == "$room" ]] && continue
    [[ " ${allowed[$room]} " == *" $other "* ]] ||
      fail "$file" "$target" "room $room may not include room $other"
  done < <(sed -n 's/^#include "\([^"]*\)".*/\1/p' "$file")
done < <(git ls-files '*.cpp' '*.h')

[ "$status" -eq 0 ] && echo "includes: every room includes only downwards"
exit "$status"
