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
init=
scratch=
cleanup() {
  [ "${#children[@]}" -eq 0 ] || kill "${children[@]}" 2>/dev/null || true
  # systemd takes SIGTERM as a request to re-execute itself.
  [ -z "$init" ] || kill -9 "$init" 2>/dev/null || true
  [ -z "$scratch" ] || rm -rf "$scratch"
}
trap cleanup EXIT

# A site of one instance on the simulator, linked as COM1 in PORT_DIR.
# Usage: write_site FILE PORT_DIR
write_site() {
  cat >"$1" <<EOF
[host]
port_dir = "$2"

[[instance]]
ulo = 1
port = "COM1"
restart_message = "RESTART 100"
gate = [{address = "\$T1", type = "float"}]
EOF
}

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

  # The service's run: its user, its state directory, a
  # notification socket, the controller on a pseudo-terminal.
  local work
  work=$(mktemp -d /tmp/ulohost-run.XXXXXX)
  mkdir "$work/state"
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
  write_site "$work/site.toml" .
  local code=0
  "${as_service[@]}" env NOTIFY_SOCKET="$work/notify" WATCHDOG_USEC=1000000 \
    STATE_DIRECTORY="$work/state" \
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
  [ -s "$work/state/host.log" ] || fail "no host.log in the state directory"
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

# The service under a real systemd (booted in the throw-away root): start
# (which waits for READY=1), its directories, a clean stop, a config mistake
# that fails for good, and a purge while it is enabled.
check_service() {
  local deb=$1 show
  dpkg -i "$deb" >/dev/null || fail "dpkg -i $deb"
  install -d -o ulohost -g ulohost /run/ulosim
  systemd-run --quiet --unit=prv1sim -p User=ulohost \
    /usr/bin/prv1sim --link /run/ulosim/COM1 --rate 5
  for _ in $(seq 100); do
    [ -e /run/ulosim/COM1 ] && break
    sleep 0.1
  done
  install -d /etc/ulohost
  write_site /etc/ulohost/site.toml /run/ulosim
  systemctl enable --now ulohost.service 2>/dev/null ||
    fail "systemctl start ulohost: $(journalctl -u ulohost --no-pager | tail -5)"
  systemctl is-active --quiet ulohost || fail "ulohost is not active"
  [ "$(cat /var/lib/ulohost/uloPR101.int)" = "RESTART 100" ] ||
    fail "no init file in /var/lib/ulohost"
  journalctl -u ulohost --no-pager | grep -q "host running" ||
    fail "the journal does not have the host log"
  [ -d /var/log/ulohost ] || fail "no /var/log/ulohost"
  systemctl stop ulohost
  show=$(systemctl show ulohost -p Result -p ExecMainStatus)
  [ "$show" = $'Result=success\nExecMainStatus=0' ] ||
    fail "unclean stop: $show"
  note "under systemd: started once running, stopped cleanly"

  printf '[host]\nno_such_field = 1\n' >/etc/ulohost/site.toml
  ! systemctl start ulohost 2>/dev/null || fail "a bad config started"
  show=$(systemctl show ulohost -p NRestarts -p ExecMainStatus)
  [ "$show" = $'NRestarts=0\nExecMainStatus=2' ] ||
    fail "a bad config: $show"
  note "under systemd: a config mistake fails the start, not restarted"

  dpkg -P ulopr1 >/dev/null || fail "dpkg -P under systemd"
  [ ! -e /etc/systemd/system/multi-user.target.wants/ulohost.service ] ||
    fail "the purge left the service enabled"
  [ ! -e /var/lib/ulohost ] || fail "the purge left /var/lib/ulohost"
  note "under systemd: purged while enabled, nothing left"
}

case "${1:-}" in
  --installed)
    shift
    check_installed "$@"
    exit 0
    ;;
  --service)
    shift
    check_service "$@"
    exit 0
    ;;
esac

self=$(realpath "$0")
cd "$(dirname "$self")/.."
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

# A copy of the package database for a throw-away root: a package
# installed here meanwhile must not change it under the root's dpkg.
snapshot_dpkg() {
  rm -rf "$scratch/dpkg"
  cp -a /var/lib/dpkg "$scratch/dpkg"
  echo "$scratch/dpkg"
}

# systemd as PID 1 of a pid namespace in a second throw-away root, with /sys
# read-only (so no udev) and only basic.target; then check_service in it.
boot_systemd() {
  rm -rf "$scratch/upper" "$scratch/work"
  mkdir -p "$scratch/upper" "$scratch/work"
  unshare --mount --propagation private -- bash -euc '
    root=$1
    mount -t overlay overlay -o "lowerdir=/,upperdir=$2,workdir=$3" "$root"
    mount --bind "$6" "$root/var/lib/dpkg"
    mount --rbind /dev "$root/dev"
    mount --rbind /sys "$root/sys"
    mount -o remount,bind,ro "$root/sys"
    mount -t tmpfs tmpfs "$root/run"
    mount -t tmpfs tmpfs "$root/tmp"
    mkdir "$root/opt/ulopr1-test"
    cp "$4" "$5" "$root/opt/ulopr1-test/"
    exec unshare --pid --fork --mount-proc="$root/proc" chroot "$root" \
      env container=other /lib/systemd/systemd --system --unit=basic.target
  ' - "$root" "$scratch/upper" "$scratch/work" "$self" "$deb" "$(snapshot_dpkg)" \
    >"$scratch/systemd.log" 2>&1 &
  local outer=$! in_root=()
  children+=("$outer")
  for _ in $(seq 150); do
    init=$(pgrep -P "$outer" || true)
    if [ -n "$init" ]; then
      in_root=(nsenter -t "$init" -m -p -r -w)
      "${in_root[@]}" systemctl is-system-running 2>/dev/null |
        grep -qE 'running|degraded' && break
    fi
    init=
    sleep 0.2
  done
  if [ -z "$init" ]; then
    note "SKIP the service check: systemd does not boot in a namespace here"
    return
  fi
  note "systemd booted in a throw-away root: the service runs there"
  "${in_root[@]}" /opt/ulopr1-test/test-package.sh --service \
    "/opt/ulopr1-test/$(basename "$deb")"
}

# A throw-away root: this system under an overlay, in a mount namespace of
# its own, so the install touches nothing here.
root=$scratch/root
mkdir -p "$root" "$scratch/upper" "$scratch/work"
if unshare --mount --propagation private -- mount -t overlay overlay \
  -o lowerdir=/,upperdir="$scratch/upper",workdir="$scratch/work" \
  "$root" 2>/dev/null; then
  mkdir -p "$scratch/upper/tmp/test-package"
  cp "$self" "$deb" "$scratch/files" "$scratch/upper/tmp/test-package/"
  note "installing in a throw-away root (an overlay of this system)"
  unshare --mount --propagation private -- bash -euc '
    root=$1; shift
    mount -t overlay overlay -o "lowerdir=/,upperdir=$1,workdir=$2" "$root"
    mount --bind "$3" "$root/var/lib/dpkg"
    shift 3
    mount --rbind /dev "$root/dev"
    mount -t proc proc "$root/proc"
    mount -t tmpfs tmpfs "$root/run"
    PACKAGE_FILES=/tmp/test-package/files chroot "$root" \
      /tmp/test-package/test-package.sh --installed "$@"
  ' - "$root" "$scratch/upper" "$scratch/work" "$(snapshot_dpkg)" \
    "/tmp/test-package/$(basename "$deb")" "$version" "$libdir"
  boot_systemd
elif [ "${CI:-}" = true ]; then
  note "no overlay here: installing on this (CI) machine"
  PACKAGE_FILES=$scratch/files check_installed "$deb" "$version" "$libdir"
else
  note "SKIP the install: no overlay mount here, and not CI=true"
fi
