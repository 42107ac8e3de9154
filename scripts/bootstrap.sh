#!/usr/bin/env bash
# Installs the Debian packages the build, tests and tools need. As root it
# installs what is missing; otherwise it prints the exact install line.
set -euo pipefail

packages=(
  cmake ninja-build g++ make pkg-config git
  libgtest-dev libgmock-dev libbenchmark-dev
  libcli11-dev libtomlplusplus-dev nlohmann-json3-dev
  clang clang-format
)
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
