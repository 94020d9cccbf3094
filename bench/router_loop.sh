#!/bin/sh
# What a router owner would run instead of the daemon to drive one LED:
# a busybox sh loop doing the job of mode 11 (Wi-Fi access points) or
# mode 13 (OpenVPN tunnels), writing the LED through a brightness file.
# The benchmarks compare its CPU time per tick with the daemon's, running it
# on a board in the daemon's place.
#
# Usage: router_loop.sh [MODE [LED_FILE]]
# MODE defaults to LED 1's mode in the daemon's settings file; LED_FILE to
# /tmp/led1, which keeps every value written (one line a tick while the LED
# is steady), so that the benchmarks can count the loop's ticks.
settings=/opt/norvask/etc/settings
mode=${1:-$(sed -n '/^MOD_NORVASK_MODE=/{s///;s/"//g;p;q;}' "$settings" 2>/dev/null)}
led=${2:-/tmp/led1}
trap 'exit 0' TERM INT

# On the router every applet is busybox's; elsewhere the system's own may
# be missing or another program.
if ! command -v usleep >/dev/null 2>&1; then
  sleep() { busybox sleep "$@"; }
  usleep() { busybox usleep "$@"; }
fi

led_set() { echo "$1" >> "$led"; }

blink() {
  i=0
  while [ $i -lt 4 ]; do
    led_set 0; usleep 125000
    led_set 1; usleep 125000
    i=$((i + 1))
  done
}

# Sets now="rx tx" for interface $1 from /proc/net/dev; fails when it is missing.
read_counters() {
  iface=$1
  while IFS=: read -r name data; do
    [ "${name##* }" = "$iface" ] || continue
    # shellcheck disable=SC2086 # the fields, split on blanks
    set -- $data
    now="$1 $9"
    return 0
  done < /proc/net/dev
  return 1
}

# Succeeds when interface $1's counters moved since its last look.
traffic() {
  read_counters "$1" || return 1
  eval "prev=\$prev_$1; prev_$1=\$now"
  [ -n "$prev" ] && [ "$prev" != "$now" ]
}

stations() { [ -n "$(hostapd_cli -i "$1" all_sta)" ]; }

wifi_ap() {
  if stations wlan0; then
    if traffic wlan0; then blink; return; fi
    if stations wlan02 && traffic wlan02; then blink; else led_set 1; fi
  elif stations wlan02; then
    if traffic wlan02; then blink; else led_set 1; fi
  else
    led_set 0
  fi
}

openvpn() {
  for unit in 0 1 2 3; do
    rx=$(ifconfig tun$unit 2>/dev/null | grep -o 'RX bytes:[0-9]*')
    rx=${rx#RX bytes:}
    if [ -n "$rx" ] && [ "$rx" != 0 ]; then led_set 1; return; fi
  done
  led_set 0
}

while :; do
  case $mode in
    11) wifi_ap ;;
    13) openvpn ;;
    *) echo "mode $mode is not scripted" >&2; exit 2 ;;
  esac
  sleep 1
done
