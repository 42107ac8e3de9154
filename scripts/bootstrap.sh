#!/usr/bin/env bash
# Installs the Debian packages the build, tests and tools need. As root it
# installs what is missing; otherwise it prints the exact install line.
# Usage: bootstrap.sh [--windows] [extra packages...]
set -euo pipefail

packages=(
  cmake ninja-build g++ make pkg-config git
  libgtest-dev libgmock-dev libbenchmark-dev
  libcli11-dev libtomlplusplus-dev nlohmann-json3-dev
  clang clang-format
  libclang-rt-dev llvm  # sanitizer and libFuzzer runtimes, llvm-symbolizer
  locales  # de_DE's definition: tests generate a decimal-comma locale from it
  dpkg-dev file  # the Debian package: dpkg-shlibdeps, which needs file
  systemd  # systemd-analyze verify checks the service unit
  socat  # the Windows tests' serial pairs; the package test's notify socket
  libmosquitto-dev  # ulohost's MQTT output
  mosquitto mosquitto-clients  # the MQTT tests' broker and subscriber
  ser2net  # a real serial device server for the network-port tests
)
# --windows: also the 32-bit Windows cross build and Wine to test it
# (`make test-windows`, `make dist`); wine32 is an i386 package. Where
# 32-bit programs cannot run, the tests run in a 64-bit Windows build under
# 64-bit Wine: its compiler and wine64.
windows_packages=(
  g++-mingw-w64-i686 googletest wine wine32:i386 zip
  g++-mingw-w64-x86-64-posix wine64
)
if [ "${1:-}" = "--windows" ]; then
  shift
  packages+=("${windows_packages[@]}")
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    if [ "$(id -u)" -ne 0 ]; then
      echo "The Windows tests need Wine's 32-bit packages. Enable them with:" >&2
      echo "  sudo dpkg --add-architecture i386 && sudo apt-get update" >&2
      exit 1
    fi
    dpkg --add-architecture i386
    apt-get update -qq
  fi
fi
[ "$#" -gt 0 ] && packages+=("$@")

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ "${#missing[@]}" -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "Missing packages. Install them with:" >&2
  echo "  sudo apt-get install -y ${missing[*]}" >&2
  exit 1
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
