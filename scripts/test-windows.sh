#!/usr/bin/env bash
# Builds the 32-bit Windows DLLs, programs and tests with MinGW-w64 and runs
# the test suite under Wine: headless, in a throw-away Wine prefix that is
# removed afterwards. As root it first installs what is missing.
#
# Where 32-bit programs cannot run (a kernel without IA-32 emulation refuses
# Wine's 32-bit loader), the 32-bit build runs only the tests that need no
# Windows program (its DLL interface checks), and the whole suite runs in the
# 64-bit build (preset windows64) under 64-bit Wine instead, so that every
# Windows code path is still tested.
#
# The tests' serial lines are Linux pseudo-terminals. socat links each pair:
# the prefix maps COMn (the driver's side) to one end and COM(10+n) (the
# controller's side) to the other, and ULO_TEST_PORT_PAIRS tells the tests
# which is which ("COM1:COM11,COM2:COM12,..."). Extra arguments go to ctest
# (e.g. -R Receiver).
set -euo pipefail
cd "$(dirname "$0")/.."

readonly pair_count=3

scripts/bootstrap.sh --windows
cmake --preset windows
cmake --build --preset windows

# Whether 32-bit programs run here: the 32-bit tests need Wine's 32-bit
# loader, which a kernel without IA-32 emulation refuses to start.
readonly wine32_loader=/usr/lib/wine/wine
if failure=$("$wine32_loader" --version 2>&1 >/dev/null); then
  preset=windows
  export WINEARCH=win32
else
  echo "test-windows: 32-bit programs cannot run here (Wine's 32-bit loader" \
    "$wine32_loader: ${failure##*: }): checking the 32-bit DLLs' interfaces," \
    "then running the test suite in the 64-bit build under 64-bit Wine"
  # From build/windows/src, whose tests are these two: from the top, ctest
  # would first run every test program under Wine to list its cases.
  ctest --test-dir build/windows/src -R '_dll_interface$' \
    --output-on-failure --no-tests=error
  preset=windows64
  export WINEARCH=win64
  cmake --preset windows64
  cmake --build --preset windows64
fi
# The Wine loader the build runs its test programs with.
wine=$(sed -n 's/^ULO_WINE:FILEPATH=//p' "build/$preset/CMakeCache.txt")

work=$(mktemp -d /tmp/ulopr1-wine.XXXXXX)
socat_pids=()
cleanup() {
  WINEPREFIX=$work/prefix wineserver -k 2>/dev/null || true
  [ "${#socat_pids[@]}" -eq 0 ] || kill "${socat_pids[@]}" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

export WINEPREFIX=$work/prefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="  # no Mono or Gecko prompts
unset DISPLAY WAYLAND_DISPLAY

echo "Creating the Wine prefix in $WINEPREFIX"
# (A 64-bit prefix also gets a 32-bit half; where 32-bit programs cannot run,
# wineboot says it failed to open syswow64's rundll32.exe: harmless here.)
"$wine" wineboot -i
# A server that stays up for the whole run (each test is a Wine process of
# its own), started once the one wineboot used has gone.
wineserver -w
wineserver -p
"$wine" cmd.exe /c exit 0  # the first program waits for Wine's services
rm -f "$WINEPREFIX"/dosdevices/com*

# Waits until socat has made the link to its pseudo-terminal.
await_link() {
  for _ in $(seq 100); do
    [ -e "$1" ] && return 0
    sleep 0.05
  done
  echo "socat made no pseudo-terminal at $1" >&2
  exit 1
}

pairs=()
for n in $(seq "$pair_count"); do
  socat "pty,raw,echo=0,link=$work/driver$n" \
    "pty,raw,echo=0,link=$work/controller$n" &
  socat_pids+=($!)
  await_link "$work/driver$n"
  await_link "$work/controller$n"
  driver=$(readlink -f "$work/driver$n")
  controller=$(readlink -f "$work/controller$n")
  ln -s "$driver" "$WINEPREFIX/dosdevices/com$n"
  ln -s "$controller" "$WINEPREFIX/dosdevices/com$((10 + n))"
  # Held open here, so that socat never sees a side hang up while a test
  # has its port closed.
  exec {held}<>"$driver"
  exec {held}<>"$controller"
  pairs+=("COM$n:COM$((10 + n))")
done
ULO_TEST_PORT_PAIRS=$(IFS=,; echo "${pairs[*]}")
export ULO_TEST_PORT_PAIRS
echo "Serial port pairs (driver:controller): $ULO_TEST_PORT_PAIRS"

ctest --preset "$preset" "$@"
