#!/usr/bin/env bash
# Checks the Debian package (make package builds it): its metadata and
# contents; then, as root, in a throw-away root (an overlay of this system,
# discarded afterwards) or, failing that, on this machine when CI=true: the
# install, the service account, the unit (systemd-analyze verify), a short
# run of the installed ulohost against prv1sim on a pseudo-terminal as the
# service runs it (its user, its directories, Type=notify datagrams on a
# socket of our own), an upgrade, the removal and the purge.
# Usage: test-package.sh [DIR]   (DIR holds the .deb; build/package/packages)
set -euo pipefail

fail() {
  echo "test-package: FAIL: $*" >&2
  exit 1
}
note() { echo "test-package: $*"; }

# What is left to stop and remove, whichever way the script ends.
children=()
scratch=
cleanup() {
  [ "${#children[@]}" -eq 0 ] || kill "${children[@]}" 2>/dev/null || true
  [ -z "$scratch" ] || rm -rf "$scratch"
}
trap cleanup EXIT

# What a user of the package sees once it is installed, run inside the root
# the package is installed in.
check_installed() {
  local deb=$1 version=$2 libdir=$3
  dpkg -i "$deb" >/dev/null || fail "dpkg -i $deb"

  local account
  account=$(getent passwd ulohost) || fail "no ulohost user"
  [ "$(cut -d: -f6 <<<"$account")" = /var/lib/ulohost ] ||
    fail "ulohost's home: $account"
  id -nG ulohost | grep -qw dialout || fail "ulohost is not in dialout"
  [ "$(ulohost --version)" = "ulohost $version" ] ||
    fail "ulohost --version: $(ulohost --version)"

  local unit=/usr/lib/systemd/system/ulohost.service verify
  verify=$(systemd-analyze verify "$unit" 2>&1) ||
    fail "systemd-analyze verify $unit: $verify"
  [ -z "$verify" ] || fail "systemd-analyze verify $unit says: $verify"
  note "systemd-analyze verify: the unit is sound"

  # The service's run: its user, its state and logs directories, a
  # notification socket, the controller on a pseudo-terminal.
  local work
  work=$(mktemp -d /tmp/ulohost-run.XXXXXX)
  mkdir "$work/state" "$work/logs"
  chown -R ulohost:ulohost "$work"
  local as_service=(setpriv --reuid=ulohost --regid=ulohost --init-groups --)
  "${as_service[@]}" prv1sim --link "$work/COM1" --rate 5 >"$work/sim.out" \
    2>"$work/sim.err" &
  local sim=$!
  "${as_service[@]}" socat -u UNIX-RECV:"$work/notify" - \
    >"$work/notify.out" 2>"$work/notify.err" &
  local manager=$!
  children+=("$sim" "$manager")
  for _ in $(seq 100); do
    [ -e "$work/COM1" ] && [ -S "$work/notify" ] && break
    sleep 0.1
  done
  cat >"$work/site.toml" <<'EOF'
[host]
port_dir = "."
com_interval = 1

[[instance]]
ulo = 1
port = "COM1"
restart_message = "RESTART 100"
gate = [{address = "$T1", type = "float"}]
EOF
  local code=0
  "${as_service[@]}" env NOTIFY_SOCKET="$work/notify" WATCHDOG_USEC=1000000 \
    STATE_DIRECTORY="$work/state" LOGS_DIRECTORY="$work/logs" \
    ulohost --json --duration 4 "$work/site.toml" \
    >"$work/run.out" 2>"$work/run.err" || code=$?
  sleep 0.2 # the last datagram on its way to socat
  kill "$sim" "$manager" 2>/dev/null || true
  wait "$sim" "$manager" 2>/dev/null || true
  [ "$code" -eq 0 ] || fail "the installed ulohost exited $code: $(cat "$work/run.err")"
  grep -qF "from /$libdir/libulopr1.so" "$work/run.out" ||
    fail "ulohost did not load the installed driver: $(head -3 "$work/run.out")"
  grep -qF '"state":"running"' "$work/run.out" || fail "no instance ran"
  grep -qF '"event":"gate"' "$work/run.out" || fail "no value came"
  local state
  for state in READY=1 WATCHDOG=1 STOPPING=1; do
    grep -qF "$state" "$work/notify.out" ||
      fail "no $state datagram: $(cat "$work/notify.out")"
  done
  [ "$(cat "$work/state/uloPR101.int")" = "RESTART 100" ] ||
    fail "no init file in the state directory"
  [ -s "$work/logs/ulohost.log" ] || fail "no log in the logs directory"
  [ ! -e "$work/uloPR101.int" ] || fail "init file beside the config"
  rm -rf "$work"
  note "the installed ulohost ran the site as the service would"

  dpkg -i "$deb" >/dev/null || fail "upgrade (reinstall) of $deb"

  # What the service would have made under systemd, for the purge to take.
  install -d -o ulohost -g ulohost /var/lib/ulohost /var/log/ulohost
  dpkg -r ulopr1 >/dev/null || fail "dpkg -r"
  [ ! -e /usr/bin/ulohost ] || fail "dpkg -r left /usr/bin/ulohost"
  [ -d /var/lib/ulohost ] || fail "dpkg -r took the state before the purge"
  dpkg -P ulopr1 >/dev/null || fail "dpkg -P"
  ! dpkg -s ulopr1 >/dev/null 2>&1 || fail "ulopr1 still known to dpkg"
  local path
  # Directories it shares with other packages stay, not empty.
  while read -r path; do
    if [ -d "$path" ]; then
      [ -n "$(ls -A "$path")" ] || fail "the purge left the directory $path"
    elif [ -e "$path" ] || [ -L "$path" ]; then
      fail "the purge left $path"
    fi
  done <"$PACKAGE_FILES"
  [ ! -e /var/lib/ulohost ] && [ ! -e /var/log/ulohost ] ||
    fail "the purge left the service's directories"
  note "removed and purged: nothing of the package is left (the ulohost" \
    "account stays, as is usual)"
}

if [ "${1:-}" = --installed ]; then
  shift
  check_installed "$@"
  exit 0
fi

cd "$(dirname "$0")/.."
dir=${1:-build/package/packages}
version=$(sed -n 's/^project(ulopr1 VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
deb=$dir/ulopr1_${version}_$(dpkg --print-architecture).deb
[ -f "$deb" ] || fail "no $deb (make package builds it)"
libdir=usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)

# The metadata.
field() { dpkg-deb --field "$deb" "$1"; }
[ "$(field Package)" = ulopr1 ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$version" ] || fail "Version: $(field Version)"
for needed in adduser libc6 libstdc++6; do
  grep -qw "$needed" <<<"$(field Depends)" ||
    fail "Depends lacks $needed: $(field Depends)"
done
info=$(dpkg-deb --info "$deb")
for script in postinst prerm postrm; do
  grep -qw "$script" <<<"$info" || fail "no $script in the package"
done
! grep -qw conffiles <<<"$info" || fail "the package has conffiles"

# The contents: everything under /usr, nothing in /etc (no service starts
# with a demo config).
scratch=$(mktemp -d /tmp/ulopr1-package.XXXXXX)
dpkg-deb --contents "$deb" | awk '{print substr($6, 2)}' >"$scratch/files"
for path in /usr/bin/ulohost /usr/bin/prv1sim "/$libdir/libulopr1.so" \
  "/$libdir/libzempro.so" /usr/include/ulopr1/ulo.h \
  /usr/include/ulopr1/zempro.h /usr/include/zempro/control.h \
  /usr/share/man/man1/ulohost.1.gz /usr/share/man/man1/prv1sim.1.gz \
  /usr/share/doc/ulopr1/examples/site.toml \
  /usr/lib/systemd/system/ulohost.service; do
  grep -qx "$path" "$scratch/files" || fail "$path is not in the package"
done
outside=$(grep -v -e '^/$' -e '^/usr/' "$scratch/files" || true)
[ -z "$outside" ] || fail "files outside /usr: $outside"
dpkg-deb -x "$deb" "$scratch/tree"
readelf -d "$scratch/tree/usr/bin/ulohost" | grep -q 'RUNPATH.*\$ORIGIN/\.\./lib' ||
  fail "ulohost has no RUNPATH to its libraries"
grep -qx 'ExecStart=/usr/bin/ulohost /etc/ulohost/site.toml' \
  "$scratch/tree/usr/lib/systemd/system/ulohost.service" ||
  fail "the unit does not run /usr/bin/ulohost on /etc/ulohost/site.toml"
note "$deb: metadata and contents as expected"

if [ "$(id -u)" -ne 0 ]; then
  note "SKIP the install: it needs root (a throw-away root, or CI=true)"
  exit 0
fi
[ -d /run/systemd/system ] ||
  note "systemd is not running here (PID 1 is $(ps -o comm= -p 1)):" \
    "the unit is verified, not started"

# A throw-away root: this system under an overlay, in a mount namespace of
# its own, so the install touches nothing here.
root=$scratch/root
mkdir -p "$root" "$scratch/upper" "$scratch/work"
if unshare --mount --propagation private -- mount -t overlay overlay \
  -o lowerdir=/,upperdir="$scratch/upper",workdir="$scratch/work" \
  "$root" 2>/dev/null; then
  mkdir -p "$scratch/upper/tmp/test-package"
  cp "$0" "$deb" "$scratch/files" "$scratch/upper/tmp/test-package/"
  note "installing in a throw-away root (an overlay of this system)"
  unshare --mount --propagation private -- bash -euc '
    root=$1; shift
    mount -t overlay overlay -o "lowerdir=/,upperdir=$1,workdir=$2" "$root"
    shift 2
    mount --rbind /dev "$root/dev"
    mount -t proc proc "$root/proc"
    mount -t tmpfs tmpfs "$root/run"
    PACKAGE_FILES=/tmp/test-package/files chroot "$root" \
      /tmp/test-package/test-package.sh --installed "$@"
  ' - "$root" "$scratch/upper" "$scratch/work" \
    "/tmp/test-package/$(basename "$deb")" "$version" "$libdir"
elif [ "${CI:-}" = true ]; then
  note "no overlay here: installing on this (CI) machine"
  PACKAGE_FILES=$scratch/files check_installed "$deb" "$version" "$libdir"
else
  note "SKIP the install: no overlay mount here, and not CI=true"
fi
