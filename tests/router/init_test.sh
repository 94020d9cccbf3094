#!/usr/bin/env bash
# The installed start script driving the installed daemon, under busybox sh
# (with only busybox's applets on PATH) and under the system's /bin/sh.
#
# Runs in a throwaway root: a private mount and pid namespace with fresh tmpfs
# mounts on /opt, /tmp and /var/run and the DESTDIR install mounted on
# /opt/norvask, which exists only in there; every process it starts ends with it.
# Usage: init_test.sh <build dir>; exits 77 when the machine cannot run it.
set -uo pipefail

if [ -z "${NORVASK_INIT_TEST_INSIDE:-}" ]; then
  [ $# -eq 1 ] || { echo "usage: $0 <build dir>" >&2; exit 2; }
  [ "$(id -u)" -eq 0 ] || { echo "skipped: needs root for a private namespace"; exit 77; }
  command -v busybox >/dev/null || { echo "skipped: busybox is not installed"; exit 77; }
  unshare --mount --pid --fork --mount-proc true 2>/dev/null ||
    { echo "skipped: cannot create a private mount and pid namespace"; exit 77; }
  NORVASK_INIT_TEST_INSIDE=1 exec unshare --mount --pid --fork --mount-proc \
    --propagation private "$0" "$(cd "$1" && pwd)"
fi

build=$1
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

mount -t tmpfs norvask-test /opt || { echo "cannot mount /opt"; exit 1; }

# The install layout, through DESTDIR, then mounted where the router has it.
stage=/opt/stage
DESTDIR=$stage cmake --install "$build" --prefix /opt/norvask >/dev/null || { echo "install failed"; exit 1; }
installed=$(cd "$stage" && find . -type f | sort | tr '\n' ' ')
[ "$installed" = "./opt/norvask/bin/norvaskd ./opt/norvask/etc/init " ] ||
  fail "installed files: $installed"
for f in bin/norvaskd etc/init; do
  [ -x "$stage/opt/norvask/$f" ] || fail "/opt/norvask/$f is not executable"
done
mkdir /opt/norvask && mount --bind "$stage/opt/norvask" /opt/norvask

# Hidden only now: the build may be under /tmp.
for dir in /tmp /var/run; do
  mount -t tmpfs norvask-test "$dir" || { echo "cannot mount $dir"; exit 1; }
done
# A real GPIO device on this machine must not see our LED writes.
[ -e /dev/gpio ] && mount --bind /dev/null /dev/gpio

daemon=/opt/norvask/bin/norvaskd
init=/opt/norvask/etc/init
pid_file=/var/run/norvaskd.pid
busybox=$(command -v busybox)
mkdir -p /tmp/busybox && "$busybox" --install -s /tmp/busybox

# The pids whose command line names the daemon (zombies have none).
daemon_pids() {
  local p
  for p in /proc/[0-9]*; do
    { tr '\0' '\n' <"$p/cmdline"; } 2>/dev/null | grep -qxF "$daemon" && echo "${p#/proc/}"
  done
}

settings() { printf '%s\n' "$@" >/opt/norvask/etc/settings; }

# run <shell> <action>: sets rc and out.
run() {
  local shell=$1
  shift
  case $shell in
    busybox) out=$(PATH=/tmp/busybox "$busybox" sh "$init" "$@" 2>&1) ;;
    sh) out=$(/bin/sh "$init" "$@" 2>&1) ;;
  esac
  rc=$?
}

# expect <shell> <action> <rc> <output pattern>
expect() {
  run "$1" "$2"
  [ "$rc" -eq "$3" ] || fail "$1: $2 exited $rc, expected $3 ($out)"
  [[ $out =~ $4 ]] || fail "$1: $2 printed '$out', expected /$4/"
}

# Waits up to 5 s for a command to succeed.
wait_for() {
  local i
  for ((i = 0; i < 50; i++)); do
    "$@" && return 0
    sleep 0.1
  done
  return 1
}
no_daemon() { [ -z "$(daemon_pids)" ]; }
some_daemon() { [ -n "$(daemon_pids)" ]; }

for shell in busybox sh; do
  echo "--- $shell"
  settings MOD_NORVASK_MODE=17

  expect "$shell" status 3 "not running"
  expect "$shell" stop 0 "not running"
  expect "$shell" start 0 "started \(pid [0-9]+\)"
  pid=$(cat "$pid_file" 2>/dev/null)
  [ "$(daemon_pids)" = "$pid" ] || fail "$shell: daemon pids '$(daemon_pids)', pid file '$pid'"
  for fd in 0 1 2; do
    [ "$(readlink "/proc/$pid/fd/$fd")" = /dev/null ] || fail "$shell: fd $fd is not /dev/null"
  done
  sleep 1.5  # a tick or two: the daemon keeps running
  expect "$shell" start 0 "already running \(pid $pid\)"
  [ "$(daemon_pids)" = "$pid" ] || fail "$shell: a second start changed the daemon"
  expect "$shell" status 0 "is running \(pid $pid\)"

  expect "$shell" restart 0 "stopped.*started \(pid [0-9]+\)"
  new_pid=$(cat "$pid_file" 2>/dev/null)
  [ "$new_pid" != "$pid" ] || fail "$shell: restart kept pid $pid"
  [ "$(daemon_pids)" = "$new_pid" ] || fail "$shell: after restart: '$(daemon_pids)'"

  start=$(date +%s%N)
  expect "$shell" stop 0 "^norvaskd stopped$"
  # SIGTERM ends it after the second in progress, well before the kill.
  (($(date +%s%N) - start < 2500000000)) || fail "$shell: stop took over 2.5 s"
  no_daemon || fail "$shell: daemon still running after stop"
  [ ! -e "$pid_file" ] || fail "$shell: pid file left after stop"
  expect "$shell" stop 0 "not running"
  expect "$shell" status 3 "not running"

  # A pid file naming some other live process: not ours to stop.
  sleep 60 &
  other=$!
  echo "$other" >"$pid_file"
  expect "$shell" status 3 "not running"
  expect "$shell" stop 0 "not running"
  kill -0 "$other" 2>/dev/null || fail "$shell: stop killed an unrelated process"
  echo "$other" >"$pid_file"
  expect "$shell" start 0 "started"
  if [ "$(cat "$pid_file")" = "$other" ] || no_daemon; then
    fail "$shell: start with a stale pid file did not start the daemon"
  fi
  expect "$shell" stop 0 "stopped"
  kill "$other"
  wait "$other" 2>/dev/null

  # Both modes 0: the daemon ends at once, and status says so.
  settings MOD_NORVASK_MODE=0
  expect "$shell" start 0 "started"
  wait_for no_daemon || fail "$shell: daemon with both modes 0 kept running"
  expect "$shell" status 3 "not running"

  # A daemon that ignores SIGTERM is killed after the timeout.
  cp "$daemon" /tmp/norvaskd.real
  printf '#!/bin/sh\ntrap "" TERM\nwhile :; do sleep 1; done\n' >"$daemon"
  expect "$shell" start 0 "started"
  wait_for some_daemon || fail "$shell: stubborn daemon did not start"
  NORVASK_STOP_TIMEOUT=1 expect "$shell" stop 0 "did not stop within 1 s; killing it"
  wait_for no_daemon || fail "$shell: stubborn daemon survived"
  cp /tmp/norvaskd.real "$daemon"

  rm "$daemon"
  expect "$shell" start 1 "$daemon is missing"
  cp /tmp/norvaskd.real "$daemon"

  expect "$shell" reload 2 "usage:"
done

[ "$failures" -eq 0 ] || { echo "$failures failure(s)"; exit 1; }
echo "start script: all checks passed"
