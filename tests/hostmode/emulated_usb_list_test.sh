#!/usr/bin/env bash
# Starts a program of another architecture through scripts/hostmode with
# HOSTMODE_EMULATOR, waits for its banner and address, and lists the
# simulated USB devices with the USB client from the host's end of the veth.
# Ends host mode with SIGTERM: the program stops and the namespace goes.
#   emulated_usb_list_test.sh SOURCE_DIR PROGRAM USBCLIENT EMULATOR
# EMULATOR is a CMake list (qemu-arm or "qemu-arm;-E;...").
set -uo pipefail
src="$1"; prog="$2"; client="$3"; emulator="${4//;/ }"
[ "$(id -u)" -eq 0 ] || { echo "skipped: needs root"; exit 0; }
for f in "$prog" "$client"; do
  [ -x "$f" ] || { echo "skipped: $f is not built"; exit 0; }
done
command -v "${emulator%% *}" >/dev/null || { echo "skipped: ${emulator%% *} is not installed"; exit 0; }

ns="hme$$"
root="$(mktemp -d /tmp/hostmode-emu-XXXXXX)"
log="$root.log"
hostmode_pid=0
failures=0

cleanup() {
  if [ "$hostmode_pid" -gt 0 ] && kill -0 "$hostmode_pid" 2>/dev/null; then
    kill -TERM "$hostmode_pid" 2>/dev/null
    wait_for 30 not_running "$hostmode_pid" || kill -KILL -- "-$hostmode_pid" 2>/dev/null
  fi
  ip netns del "$ns" 2>/dev/null
  ip link del "${ns}0" 2>/dev/null
  rm -rf "$root" "$log" "$root.list"
}
trap cleanup EXIT

fail() { echo "FAILED: $*"; failures=$((failures + 1)); }
# wait_for SECONDS COMMAND...: polls until COMMAND succeeds (bounded).
wait_for() {
  local limit=$(($1 * 10)) i
  shift
  for ((i = 0; i < limit; i++)); do "$@" >/dev/null 2>&1 && return 0; sleep 0.1; done
  return 1
}
not_running() { ! kill -0 "$1"; }
eth0_address() {
  ip -n "$ns" -4 -o addr show dev eth0 2>/dev/null | awk '{ split($4, a, "/"); print a[1]; exit }'
}
list_devices() { timeout 30 $emulator "$client" --host "$1" --timeout 5000 list >"$root.list" 2>&1; }

# Its own process group, so a hung launcher can be ended with its children.
APPLIANCE_ROOT="$root" HOSTMODE_NETNS="$ns" HOSTMODE_EMULATOR="$emulator" \
  setsid bash "$src/scripts/hostmode" "$prog" >"$log" 2>&1 &
hostmode_pid=$!

if ! wait_for 90 grep -q '#### pel Master running on eth0' "$log"; then
  fail "no start banner under $emulator"; cat "$log"; exit 1
fi
echo "ok: start banner"
if ! wait_for 90 test -n "$(eth0_address)"; then
  fail "eth0 got no address"; cat "$log"; exit 1
fi
addr="$(eth0_address)"
echo "ok: eth0 has $addr"

# The USB server starts beside the other tasks: poll until it lists.
if wait_for 90 list_devices "$addr"; then
  cat "$root.list"
  # The launcher's default devices: keyboard on port 1, disk on 2, loopback on 3.
  for want in "3 device(s)" "port 1 1209:0001" "port 2 1209:0003" "port 3 1209:0002"; do
    grep -qF "$want" "$root.list" || fail "the list lacks '$want'"
  done
else
  fail "the USB server at $addr did not list: $(cat "$root.list" 2>/dev/null)"
fi

kill -TERM "$hostmode_pid"
if wait_for 60 not_running "$hostmode_pid"; then
  echo "ok: host mode stopped"
  ip netns list | grep -qw "$ns" && fail "namespace $ns left behind"
else
  fail "host mode did not stop on SIGTERM"
fi
grep -q "hostmode: stopped" "$log" || { fail "no stop line"; cat "$log"; }

[ "$failures" -eq 0 ] || exit 1
echo "passed"
