#!/usr/bin/env bash
# bench/idle_rss.sh [PROGRAM] [SECONDS]
# Resident memory of the idle program against a baseline: starts the program
# as host mode does (own network namespace with eth0, own data root with the
# p353 identity and the simulated board), waits for its banner and SECONDS
# more (default 10: the board start-up is through), and reads VmRSS from
# /proc/<pid>/status. Two baselines, compiled here and measured the same way:
# a minimal C program that only sleeps, and the fair one, a C++ program that
# links the same shared libraries (libssl, libcrypto, libstdc++) and
# initialises OpenSSL and one server TLS context with a certificate pair as
# the program does, then sleeps in a second thread. Both the program and the
# fair baseline get the same self-signed pair. Private (RssAnon) and
# file-backed (RssFile) pages are reported apart. Needs root and openssl.
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
cat > "$work/tlsidle.cpp" <<'CPP'
// Initialises OpenSSL as the program does and holds one server context.
#include <openssl/engine.h>
#include <openssl/err.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <unistd.h>
#include <cstdio>
#include <string>
#include <thread>
int main(int, char** argv) {
  OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
  RAND_poll();
  ENGINE* engine = ENGINE_by_id("devcrypto");
  if (engine == nullptr) ERR_clear_error();
  SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
  const std::string dir = argv[1];
  if (SSL_CTX_use_PrivateKey_file(ctx, (dir + "/cert_pkey.pem").c_str(), SSL_FILETYPE_PEM) != 1 ||
      SSL_CTX_use_certificate_file(ctx, (dir + "/cert_srv.pem").c_str(), SSL_FILETYPE_PEM) != 1) {
    std::fprintf(stderr, "no pair\n");
    return 1;
  }
  std::thread sleeper([] { for (;;) pause(); });
  sleeper.join();
}
CPP
c++ -O2 -std=c++17 -Wno-deprecated-declarations -o "$work/tlsidle" "$work/tlsidle.cpp" -lssl -lcrypto -pthread
"$work/tlsidle" "$work/pair" &
fair_pid=$!
pids+=("$fair_pid")

# The program.
root="$work/root"
mkdir -p "$root"/{etc,flash,var,romfs,tmp,dev,proc/sys/vm,proc/sys/net/ipv6/conf/all}
cp -r tests/fixtures/identity/p353/. "$root/"
cp "$work/pair/"*.pem "$root/flash/"
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
awk -v d="$(( $(rss_kib "$prog_pid") - $(rss_kib "$fair_pid") ))" 'BEGIN {
  printf "goal: at most 2 MiB above the fair baseline: %s\n", (d <= 2048 ? "met" : "missed")
}'
