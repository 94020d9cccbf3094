#!/usr/bin/env bash
# The built daemon starts, keeps running with an LED in mode 17, and ends with
# status 0 soon after SIGTERM. For a cross build the command line starts with
# the emulator. Runs in a private mount and pid namespace whose /opt, /tmp and
# /var/run are tmpfs mounts, installed at /opt/norvask with settings of its own.
# Usage: daemon_runs_test.sh [emulator args...] <daemon>; exits 77 when the
# machine cannot run it.
set -uo pipefail

if [ -z "${NORVASK_RUN_TEST_INSIDE:-}" ]; then
  [ "$(id -u)" -eq 0 ] || { echo "skipped: needs root for a private namespace"; exit 77; }
  unshare --mount --pid --fork --mount-proc true 2>/dev/null ||
    { echo "skipped: cannot create a private mount and pid namespace"; exit 77; }
  NORVASK_RUN_TEST_INSIDE=1 exec unshare --mount --pid --fork --mount-proc \
    --propagation private "$0" "$@"
fi

# The daemon moves to where the router has it before /tmp, where the build
# may be, is hidden.
mount -t tmpfs norvask-test /opt || { echo "cannot mount /opt"; exit 1; }
mkdir -p /opt/norvask/bin /opt/norvask/etc
cp "${!#}" /opt/norvask/bin/norvaskd || exit 1
for dir in /tmp /var/run; do
  mount -t tmpfs norvask-test "$dir" || { echo "cannot mount $dir"; exit 1; }
done
[ -e /dev/gpio ] && mount --bind /dev/null /dev/gpio
echo MOD_NORVASK_MODE=17 >/opt/norvask/etc/settings

"${@:1:$#-1}" /opt/norvask/bin/norvaskd </dev/null &
pid=$!
sleep 2.5
if ! kill -0 "$pid" 2>/dev/null; then
  wait "$pid"
  echo "FAIL: the daemon ended by itself with status $?"
  exit 1
fi
start=$(date +%s%N)
kill -TERM "$pid"
wait "$pid"
rc=$?
ms=$((($(date +%s%N) - start) / 1000000))
echo "stopped with status $rc, $ms ms after SIGTERM"
[ "$rc" -eq 0 ] || { echo "FAIL: exit status $rc"; exit 1; }
# It finishes the second in progress; under emulation give it some slack.
[ "$ms" -lt 3000 ] || { echo "FAIL: took $ms ms to stop"; exit 1; }
