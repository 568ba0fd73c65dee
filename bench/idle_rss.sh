#!/usr/bin/env bash
# bench/idle_rss.sh [PROGRAM] [SECONDS]
# Resident memory of the idle program against a baseline: starts the program
# as host mode does (own network namespace with eth0, own data root with the
# p353 identity, the content tree, the simulated board and host mode's
# simulated USB devices), waits for its banner and SECONDS more (default 10:
# the board start-up is through), and reads /proc/<pid>/status. Two
# baselines, built here and measured the same way: a minimal C program that
# only sleeps, and the fair one (bench/baseline/idle_baseline.cpp), a C++
# program linked against every shared library the program names (libstdc++,
# OpenSSL, net-snmp, libip4tc, ...) that initialises OpenSSL and one server
# TLS context with a certificate pair as the program does, then sleeps in a
# second thread. Both the program and the fair baseline get the same
# self-signed pair. Private (RssAnon) and file-backed (RssFile) pages are
# reported apart. With IDLE_RSS_DETAIL=1 the resident KiB of each mapping
# (grouped by file, anonymous ones by kind) of the program and the fair
# baseline follow. Needs root and openssl.
# Goal: at most 2 MiB above the fair baseline.
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

# Baselines.
cat > "$work/sleeper.c" <<'C'
#include <unistd.h>
int main(void) { for (;;) pause(); }
C
cc -O2 -o "$work/sleeper" "$work/sleeper.c"
"$work/sleeper" &
base_pid=$!
pids+=("$base_pid")

mkdir -p "$work/pair"
openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj /CN=idle -keyout "$work/pair/cert_pkey.pem" \
  -out "$work/pair/cert_srv.pem" >/dev/null 2>&1
# The fair baseline links every shared library the program names (its
# NEEDED entries, so a library added to the program is in the baseline too).
needed=()
while read -r lib; do needed+=("-l:$lib"); done < <(readelf -d "$prog" | sed -n 's/.*(NEEDED).*\[\(.*\)\]$/\1/p' |
  grep -v -e '^libc\.so' -e '^libstdc++\.so' -e '^libgcc_s\.so' -e '^libm\.so')
c++ -O2 -std=c++17 -o "$work/tlsidle" bench/baseline/idle_baseline.cpp -Wl,--no-as-needed "${needed[@]}" -pthread
missing="$(comm -23 <(readelf -d "$prog" | sed -n 's/.*(NEEDED).*\[\(.*\)\]$/\1/p' | sort) \
                    <(readelf -d "$work/tlsidle" | sed -n 's/.*(NEEDED).*\[\(.*\)\]$/\1/p' | sort))"
[ -z "$missing" ] || { echo "idle_rss: the fair baseline does not link: $missing" >&2; exit 1; }
"$work/tlsidle" "$work/pair" &
fair_pid=$!
pids+=("$fair_pid")

# The program.
root="$work/root"
mkdir -p "$root"/{etc,flash,var,romfs,tmp,dev,proc/sys/vm,proc/sys/net/ipv6/conf/all}
cp -r tests/fixtures/identity/p353/. "$root/"
cp "$work/pair/"*.pem "$root/flash/"
touch "$root/dev/gpio.sim"
if [ -d "$(dirname "$prog")/romfs" ]; then rm -rf "${root:?}/romfs"; cp -r "$(dirname "$prog")/romfs" "$root/romfs"; fi
# Host mode's default devices (scripts/hostmode).
cat > "$root/etc/simusb.conf" <<'CONF'
1-1 hub 4
1-1.1 hid manufacturer=Sim product=Keyboard serial=K1
1-1.2 storage size=8M manufacturer=Sim product=Disk serial=D1
1-1.3 loopback manufacturer=Sim product=Loopback serial=L1
CONF
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

kill -0 "$fair_pid" 2>/dev/null || { echo "idle_rss: the fair baseline ended" >&2; exit 1; }
printf '%-34s %9s %9s %9s\n' "idle, KiB" VmRSS RssAnon RssFile
row() { printf '%-34s %9s %9s %9s\n' "$1" "$(rss_kib "$2")" "$(rss_kib "$2" RssAnon)" "$(rss_kib "$2" RssFile)"; }
row "program" "$prog_pid"
row "fair baseline (C++, OpenSSL, TLS)" "$fair_pid"
row "sleeping C program" "$base_pid"
for b in fair:"$fair_pid" sleeper:"$base_pid"; do
  name="${b%%:*}"; pid="${b#*:}"
  awk -v n="$name" -v p="$(rss_kib "$prog_pid")" -v b="$(rss_kib "$pid")" \
      -v pa="$(rss_kib "$prog_pid" RssAnon)" -v ba="$(rss_kib "$pid" RssAnon)" \
      -v pf="$(rss_kib "$prog_pid" RssFile)" -v bf="$(rss_kib "$pid" RssFile)" 'BEGIN {
    printf "above the %s baseline: %d KiB (%.2f MiB; RssAnon %+d, RssFile %+d), ratio %.2f\n",
           n, p - b, (p - b) / 1024, pa - ba, pf - bf, p / b
  }'
done
# Resident KiB by mapping: files by name, anonymous mappings as [heap]
# (the main thread's malloc heap), [stack], [arena] (the malloc heaps of
# other threads, 64 MiB aligned) or [anon] (thread stacks, large blocks).
maps_kib() {
  awk '$1 ~ /^[0-9a-f]+-[0-9a-f]+$/ {
         name = (NF >= 6 ? $6 : "[anon]"); sub(/.*\//, "", name)
         start = substr($1, 1, index($1, "-") - 1)
         if (name == "[anon]" && length(start) > 7 && substr(start, length(start) - 5) == "000000" &&
             index("048c", substr(start, length(start) - 6, 1)) > 0) name = "[arena]"
         next }
       $1 == "Rss:" { kib[name] += $2 }
       END { for (n in kib) if (kib[n] > 0) printf "%s %d\n", n, kib[n] }' "/proc/$1/smaps"
}
if [ "${IDLE_RSS_DETAIL:-0}" = 1 ]; then
  printf '\n%-34s %9s %9s\n' "resident by mapping, KiB" program fair
  join -a1 -a2 -e0 -o 0,1.2,2.2 <(maps_kib "$prog_pid" | sort) <(maps_kib "$fair_pid" | sort) |
    sort -k2,2nr | awk '{ printf "%-34s %9d %9d\n", $1, $2, $3 }'
  echo
fi
awk -v d="$(( $(rss_kib "$prog_pid") - $(rss_kib "$fair_pid") ))" 'BEGIN {
  printf "goal: at most 2 MiB above the fair baseline: %s\n", (d <= 2048 ? "met" : "missed")
}'
