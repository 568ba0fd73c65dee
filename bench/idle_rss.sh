#!/usr/bin/env bash
# bench/idle_rss.sh [PROGRAM] [SECONDS]
# Resident memory of the idle program against a baseline: starts the program
# as host mode does (own network namespace with eth0, own data root with the
# p353 identity and the simulated board), waits for its banner and SECONDS
# more (default 10: the board start-up is through), and reads VmRSS from
# /proc/<pid>/status. The baseline is a minimal C program that only sleeps,
# compiled here with cc and measured the same way. Needs root.
# Goal: less than 4 MiB above the baseline.
set -euo pipefail
cd "$(dirname "$0")/.."
prog="$(realpath "${1:-build/plain/usbdevsrv}")"
settle="${2:-10}"
[ "$(id -u)" -eq 0 ] || { echo "idle_rss: network namespaces need root" >&2; exit 1; }
[ -x "$prog" ] || { echo "idle_rss: no program at $prog" >&2; exit 1; }

work="$(mktemp -d /tmp/idle_rss.XXXXXX)"
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

rss_kib() { awk -v key="${2:-VmRSS}:" '$1 == key { print $2 }' "/proc/$1/status"; }

# Baseline.
cat > "$work/sleeper.c" <<'C'
#include <unistd.h>
int main(void) { for (;;) pause(); }
C
cc -O2 -o "$work/sleeper" "$work/sleeper.c"
"$work/sleeper" &
base_pid=$!
pids+=("$base_pid")

# The program.
root="$work/root"
mkdir -p "$root"/{etc,flash,var,romfs,tmp,dev,proc/sys/vm,proc/sys/net/ipv6/conf/all}
cp -r tests/fixtures/identity/p353/. "$root/"
touch "$root/dev/gpio.sim"
unshare -n bash -c 'ip link add eth0 type veth peer name peer0 && ip link set peer0 up && ip link set lo up &&
  exec env APPLIANCE_ROOT="$1" KickOff=1 "$2"' idle_rss "$root" "$prog" >"$work/out" 2>"$work/err" &
prog_pid=$!
pids+=("$prog_pid")

for _ in $(seq 300); do
  grep -q "KickOff:1 ####" "$work/err" 2>/dev/null && break
  kill -0 "$prog_pid" 2>/dev/null || { cat "$work/err" >&2; echo "idle_rss: the program ended" >&2; exit 1; }
  sleep 0.1
done
grep -q "KickOff:1 ####" "$work/err" || { echo "idle_rss: no banner" >&2; exit 1; }
sleep "$settle"

prog_rss="$(rss_kib "$prog_pid")"
base_rss="$(rss_kib "$base_pid")"
diff=$((prog_rss - base_rss))
echo "idle VmRSS: program ${prog_rss} KiB, baseline (sleeping C program) ${base_rss} KiB"
# Private memory against pages of shared libraries (counted in VmRSS too).
echo "  program: RssAnon $(rss_kib "$prog_pid" RssAnon) KiB, RssFile $(rss_kib "$prog_pid" RssFile) KiB;" \
  "baseline: RssAnon $(rss_kib "$base_pid" RssAnon) KiB, RssFile $(rss_kib "$base_pid" RssFile) KiB"
awk -v p="$prog_rss" -v b="$base_rss" -v d="$diff" 'BEGIN {
  printf "difference: %d KiB (%.2f MiB), ratio program/baseline: %.2f\n", d, d / 1024, p / b
  printf "goal: under 4 MiB above the baseline: %s\n", (d < 4096 ? "met" : "missed")
}'
