#!/usr/bin/env bash
# bench/http_load.sh [PROGRAM] [CLIENTS] [ROUNDS] [SECONDS]
# Kept-alive web clients (default 200) against the program in host mode for
# ROUNDS rounds of SECONDS (default 10 x 10 s), through bench_http_load from
# a second namespace at the far end of the program's veth: requests per
# second against an in-process baseline server, connections refused by the
# task-table reserve, and the program's threads, descriptors and VmRSS idle,
# after round 1 and after the last round. Meanwhile a USB client holds a
# simulated device and a second one asks for it (the takeover reaches the
# owner's task). Needs root.
# Goal: no growth from round 1 to the last; threads and descriptors back to
# idle within 6 s of the end.
set -uo pipefail
cd "$(dirname "$0")/.."
prog="$(realpath "${1:-build/plain/usbdevsrv}")"
clients="${2:-200}"; rounds="${3:-10}"; seconds="${4:-10}"
build="$(dirname "$prog")"
load="$build/bench/bench_http_load"
usbclient="$build/tools/usbclient"
[ "$(id -u)" -eq 0 ] || { echo "http_load: network namespaces need root" >&2; exit 1; }
for f in "$prog" "$load"; do [ -x "$f" ] || { echo "http_load: $f is not built" >&2; exit 1; }; done

tag="hl$$"; client="${tag}c"; server="${tag}s"
root="$(mktemp -d /tmp/http_load.XXXXXX)"
pid=0; holder=0; taker=0
cleanup() {
  [ "$holder" -gt 0 ] && kill "$holder" 2>/dev/null
  [ "$pid" -gt 0 ] && kill -TERM "$pid" 2>/dev/null
  sleep 1; [ "$pid" -gt 0 ] && kill -KILL "$pid" 2>/dev/null
  wait 2>/dev/null
  ip netns del "$client" 2>/dev/null; ip netns del "$server" 2>/dev/null
  rm -rf "$root"
}
trap cleanup EXIT
trap "exit 1" INT TERM

ip netns add "$client" && ip netns add "$server" || exit 1
ip -n "$client" link add eth0 type veth peer name peer0 netns "$server" || exit 1
ip -n "$client" link set lo up; ip -n "$server" link set lo up
ip -n "$server" addr add 10.78.0.1/24 dev peer0; ip -n "$server" link set peer0 up

mkdir -p "$root"/{etc,flash,var,romfs,tmp,dev,conf.d,proc/sys/vm,proc/sys/net/ipv6/conf/all,proc/sys/net/ipv4/conf/all,sys/bus/usb/devices,dev/bus/usb}
cp -r tests/fixtures/identity/p353/. "$root/"
cp -r content/templates "$root/romfs/templates"
touch "$root/dev/gpio.sim" "$root/etc/resolv.conf"
printf 'ip_addr = 10.78.0.2\nip_mask = 255.255.255.0\nip_dhcp = off\nip_bootp = off\n' > "$root/etc/params.dat"
cat > "$root/etc/simusb.conf" <<'CONF'
1-1 hub 4
1-1.1 hid manufacturer=Sim product=Keyboard serial=K1
1-1.3 loopback manufacturer=Sim product=Loopback serial=L1
CONF

ip netns exec "$client" unshare --mount --propagation private \
  sh -c 'mount --bind "$1/etc/resolv.conf" /etc/resolv.conf || exit 1
         exec env APPLIANCE_ROOT="$1" KickOff=1 "$2"' program "$root" "$prog" >"$root/out.txt" 2>"$root/err.txt" &
pid=$!
for i in $(seq 1 200); do
  ip netns exec "$server" curl -s --max-time 1 -o /dev/null http://10.78.0.2/contact.html && break
  sleep 0.1
done

if [ -x "$usbclient" ]; then
  # One client holds the loopback device for the whole run.
  # The USB listener opens once the board start-up is through (bounded).
  for i in $(seq 1 100); do
    ip netns exec "$server" "$usbclient" --host 10.78.0.2 --name holder list > "$root/usblist.txt" 2>&1 \
      && grep -q "^row" "$root/usblist.txt" && break
    sleep 0.2
  done
  # The last device listed (the loopback device on hub port 3).
  row="$(awk '/^row/ { r = $2 } END { print r }' "$root/usblist.txt")"
  port="$(awk '/^row/ { p = $4 } END { print p }' "$root/usblist.txt")"
  if [ -n "$row" ]; then
    ip netns exec "$server" "$usbclient" --host 10.78.0.2 --name holder connect "$row" "$port" $((rounds * seconds + 30)) \
      > "$root/holder.txt" 2>&1 &
    holder=$!
    ( sleep $((seconds * 2 + 2))
      ip netns exec "$server" timeout 20 "$usbclient" --host 10.78.0.2 --name taker connect "$row" "$port" 1 \
        > "$root/taker.txt" 2>&1; echo "exit $?" >> "$root/taker.txt" ) &
    taker=$!
  else
    echo "http_load: no simulated loopback device listed: $(cat "$root/usblist.txt")"
  fi
fi

ip netns exec "$server" "$load" 10.78.0.2 80 "$pid" "$clients" "$rounds" "$seconds"
if [ "$taker" -gt 0 ]; then
  wait "$taker"
  echo "--- USB takeover during the load (second client):"; cat "$root/taker.txt"
  echo "--- the holder saw:"; tail -5 "$root/holder.txt"
fi
