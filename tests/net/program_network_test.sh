#!/usr/bin/env bash
# The built program's own addresses from the LAN, seen from outside. The
# program runs as host mode starts it (a network namespace with "eth0", a
# private mount namespace with its resolver file bound over
# /etc/resolv.conf); the far end of its veth lies in a second namespace
# with dnsmasq, ping, scapy and tshark.
#   program_network_test.sh PROGRAM SOURCE_DIR CASE
# CASE: dhcp (lease, names, resolver file, name look-up), bootp (a BOOTP
# reply is bound and the client ends), ipv6 (static
# address and on-link route, removed at the end) or arpping (the
# gratuitous ARP after start, then the address from an echo request) or
# discovery (the mDNS responder and the SLP agent of the running program).
set -uo pipefail
prog="$1"; src="$2"; case_name="$3"
[ "$(id -u)" -eq 0 ] || { echo "skipped: needs root"; exit 0; }
[ -x "$prog" ] || { echo "skipped: the program is not built here"; exit 0; }
for tool in dnsmasq tshark unshare nsenter; do
  command -v "$tool" >/dev/null || { echo "skipped: $tool is not installed"; exit 0; }
done

tag="np$$"
client="${tag}c"; server="${tag}s"
root="$(mktemp -d /tmp/prognet-XXXXXX)"
mac="02:00:00:77:00:02"
pid=0; dnsmasq_pid=0; capture_pid=0
failures=0

cleanup() {
  [ "$pid" -gt 0 ] && kill -KILL "$pid" 2>/dev/null
  [ "$dnsmasq_pid" -gt 0 ] && kill "$dnsmasq_pid" 2>/dev/null
  [ "$capture_pid" -gt 0 ] && kill -INT "$capture_pid" 2>/dev/null
  wait 2>/dev/null
  ip netns del "$client" 2>/dev/null
  ip netns del "$server" 2>/dev/null
  rm -rf "$root"
}
trap cleanup EXIT

fail() { echo "FAILED: $*"; failures=$((failures + 1)); }
check() {  # check WHAT EXPECTED ACTUAL
  if [ "$2" = "$3" ]; then echo "ok: $1"; else fail "$1: expected '$2', got '$3'"; fi
}
# Polls a command (bounded: 20 s) until it succeeds.
eventually() {
  local i
  for i in $(seq 1 200); do "$@" >/dev/null 2>&1 && return 0; sleep 0.1; done
  return 1
}
param() { sed -n "s/^ *$1 = //p" "$root/etc/params.dat" 2>/dev/null | head -1; }
param_is() { [ "$(param "$1")" = "$2" ]; }

# Namespaces and the veth between them.
ip netns add "$client" && ip netns add "$server" || exit 1
ip -n "$client" link add eth0 address "$mac" type veth peer name peer0 netns "$server" || exit 1
ip -n "$client" link set lo up
ip -n "$server" link set lo up
ip -n "$server" addr add 10.77.0.1/24 dev peer0
ip -n "$server" addr add 192.168.1.2/24 dev peer0
ip -n "$server" link set peer0 up

# The data root.
mkdir -p "$root"/{etc,flash,var,romfs,tmp,dev,proc/sys/vm,proc/sys/net/ipv6/conf/all,proc/sys/net/ipv4/conf/all}
cp -r "$src/tests/fixtures/identity/p353/." "$root/"
touch "$root/dev/gpio.sim" "$root/etc/resolv.conf"

start_capture() {
  ip netns exec "$server" tshark -l -P -i peer0 -f "$1" -w "$root/capture.pcap" >"$root/capture.txt" 2>"$root/capture.log" &
  capture_pid=$!
  eventually grep -q "Capturing on" "$root/capture.log" || fail "tshark did not start"
  sleep 1  # the capture attaches shortly after it announces itself
}
stop_capture() { kill -INT "$capture_pid"; wait "$capture_pid" 2>/dev/null; capture_pid=0; }

start_program() {
  ip netns exec "$client" unshare --mount --propagation private \
    sh -c 'mount --bind "$1/etc/resolv.conf" /etc/resolv.conf || exit 1
           exec env APPLIANCE_ROOT="$1" KickOff=1 "$2"' program "$root" "$prog" \
    >"$root/stdout.txt" 2>"$root/stderr.txt" &
  pid=$!
  eventually grep -q "KickOff:" "$root/stderr.txt" || fail "no start banner: $(cat "$root/stderr.txt")"
}
stop_program() {
  kill -TERM "$pid"
  local i
  for i in $(seq 1 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  wait "$pid" 2>/dev/null
  pid=0
}

start_dnsmasq() {
  ip netns exec "$server" dnsmasq --conf-file=/dev/null --keep-in-foreground --no-ping --port=53 \
    --interface=peer0 --bind-interfaces --user=root --no-resolv --no-hosts --address=/ntp.test/10.77.0.123 \
    --dhcp-leasefile="$root/leases" --pid-file="$root/dnsmasq.pid" --log-facility="$root/dnsmasq.log" \
    --dhcp-range=10.77.0.50,10.77.0.150,255.255.255.0,2m --dhcp-option=option:dns-server,10.77.0.1 \
    --dhcp-option=option:domain-name,ex.test --dhcp-option=option:ntp-server,10.77.0.123 \
    --dhcp-host="$mac,progname" "$@" &
  dnsmasq_pid=$!
  eventually grep -q "DHCP, IP range" "$root/dnsmasq.log" || fail "dnsmasq did not start"
}

case "$case_name" in
dhcp)
  start_dnsmasq
  start_program
  eventually param_is ip_setby dhcp || fail "no lease: $(cat "$root/dnsmasq.log")"
  address="$(param ip_addr)"
  case "$address" in 10.77.0.*) echo "ok: leased $address" ;; *) fail "leased address $address" ;; esac
  check "netmask" "255.255.255.0" "$(param ip_mask)"
  check "gateway" "10.77.0.1" "$(param ip_gate)"
  check "stored lease" "$address" "$(param ip_bootp_addr)"
  check "name server" "10.77.0.1" "$(param dns_primary)"
  check "domain" "ex.test" "$(param dns_domain)"
  check "time server" "10.77.0.123" "$(param ntp_server)"
  check "name" "progname" "$(param sys_name)"
  eventually grep -q "nameserver 10.77.0.1" "$root/etc/resolv.conf" || fail "resolver file: $(cat "$root/etc/resolv.conf")"
  grep -q "^search     ex.test$" "$root/etc/resolv.conf" || fail "search line: $(cat "$root/etc/resolv.conf")"
  check "name look-up through the program's resolver file" "10.77.0.123" \
    "$(nsenter -t "$pid" -m -n getent hosts ntp.test | awk '{print $1}')"
  stop_program
  ;;
bootp)
  start_dnsmasq --bootp-dynamic
  printf 'ip_dhcp = off\nip_bootp = on\n' > "$root/etc/params.dat"
  start_program
  eventually param_is ip_setby bootp || fail "no BOOTP reply bound: $(cat "$root/dnsmasq.log")"
  case "$(param ip_addr)" in 10.77.0.*) echo "ok: BOOTP address $(param ip_addr)" ;; *) fail "BOOTP address $(param ip_addr)" ;; esac
  check "stored lease" "$(param ip_addr)" "$(param ip_bootp_addr)"
  eventually sh -c "! grep -qx Bootp /proc/$pid/task/*/comm" || fail "the client still runs after a BOOTP reply"
  stop_program
  ;;
ipv6)
  cat > "$root/etc/params.dat" <<'PARAMS'
ip_addr = 10.77.0.9
ip_mask = 255.255.255.0
ip_dhcp = off
ip_bootp = off
ipv6_addr = fd00:77::2
ipv6_plen = 64
ipv6_gate = fd00:77::1
PARAMS
  start_program
  eventually sh -c "ip -n $client -6 addr show dev eth0 | grep -q fd00:77::2/64" ||
    fail "IPv6 address: $(ip -n "$client" -6 addr)"
  eventually sh -c "ip -n $client -6 route | grep -q 'fd00:77::/64 dev eth0'" ||
    fail "IPv6 route: $(ip -n "$client" -6 route)"
  stop_program
  ip -n "$client" -6 addr show dev eth0 | grep -q "fd00:77::2" && fail "IPv6 address stays after the end"
  ip -n "$client" -6 route | grep -q "fd00:77::/64" && fail "IPv6 route stays after the end"
  ;;
arpping)
  printf 'ip_dhcp = off\nip_bootp = off\n' > "$root/etc/params.dat"
  start_capture "arp"
  start_program
  # The link-local address is announced after the start banner.
  eventually grep -q "### ZeroConf IP:" "$root/stderr.txt" || fail "no link-local address announced"
  zeroconf="$(sed -n 's/.*### ZeroConf IP:\([0-9.]*\) .*/\1/p' "$root/stderr.txt" | head -1)"
  eventually grep -q "ARP" "$root/capture.txt"
  stop_capture
  check "gratuitous ARP" "42 2 ff:ff:ff:ff:ff:ff $zeroconf $zeroconf $mac" \
    "$(tshark -r "$root/capture.pcap" -Y "eth.src == $mac" -T fields -e frame.len -e arp.opcode -e eth.dst \
       -e arp.src.proto_ipv4 -e arp.dst.proto_ipv4 -e arp.src.hw_mac 2>/dev/null | head -1 | tr '\t' ' ')"
  ip netns exec "$server" ip neigh replace 192.168.1.20 lladdr "$mac" dev peer0 nud permanent
  ip netns exec "$server" ping -c 1 -W 1 192.168.1.20 >/dev/null 2>&1
  eventually param_is ip_setby ping || fail "no address from the echo request: $(param ip_addr)"
  check "address from ping" "192.168.1.20" "$(param ip_addr)"
  check "its netmask" "255.255.255.0" "$(param ip_mask)"
  eventually ip netns exec "$server" ping -c 1 -W 1 192.168.1.20 || fail "the program's address does not answer"
  stop_program
  ;;
discovery)
  for tool in dig /usr/bin/python3; do
    command -v "$tool" >/dev/null || { echo "skipped: $tool is not installed"; exit 0; }
  done
  /usr/bin/python3 -c 'import zeroconf, scapy' 2>/dev/null || { echo "skipped: python3-zeroconf is not installed"; exit 0; }
  peer_tool="$src/tests/net/tools/mdns_peer.py"
  cat > "$root/etc/params.dat" <<'PARAMS'
ip_addr = 10.77.0.9
ip_mask = 255.255.255.0
ip_dhcp = off
ip_bootp = off
bonjour_name = Office
PARAMS
  ip -n "$server" route add 224.0.0.0/4 dev peer0
  start_capture "udp port 5353 or udp port 427"
  start_program
  lookup() { ip netns exec "$server" dig -p 5353 @10.77.0.9 HUB-35307.local A +short +tries=1 +time=1 2>/dev/null; }
  eventually sh -c "[ \"\$(ip netns exec $server dig -p 5353 @10.77.0.9 HUB-35307.local A +short +tries=1 +time=1)\" = 10.77.0.9 ]" ||
    fail "no legacy unicast answer: $(lookup)"
  eventually param_is bonjour_name "Office (2)" || fail "instance name not saved: $(param bonjour_name)"
  browsed="$(ip netns exec "$server" /usr/bin/python3 "$peer_tool" browse 10.77.0.1 10 _https._tcp.local. _http._tcp.local. 2>/dev/null | sort)"
  check "browsed services" "Office (2)._http._tcp.local.|80|HUB-35307.local.|10.77.0.9
Office (2)._https._tcp.local.|443|HUB-35307.local.|10.77.0.9" "$browsed"
  # SLP version 1 service request to the SLP group, from a plain socket.
  slp_url="$(ip netns exec "$server" /usr/bin/python3 - <<'SLP'
import socket, struct
pred = b"service:d-ovode:/DEFAULT//"
body = struct.pack(">H", 0) + struct.pack(">H", len(pred)) + pred
msg = struct.pack(">BBHBBHHH", 1, 1, 12 + len(body), 0, 0, 0x656E, 3, 77) + body
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton("10.77.0.1"))
s.bind(("10.77.0.1", 0))
s.settimeout(3)
for _ in range(5):
    s.sendto(msg, ("224.0.1.22", 427))
    try:
        data, source = s.recvfrom(2048)
    except socket.timeout:
        continue
    print(source[0], source[1], data[1], struct.unpack(">H", data[10:12])[0], data[20:].decode())
    break
SLP
)"
  case "$slp_url" in
    "10.77.0.9 427 2 77 service:d-ovode://10.77.0.9;x-orv-name=HUB-35307;x-orv-mode=prot;"*"x-orv-product=myHub-20D")
      echo "ok: SLP reply $slp_url" ;;
    *) fail "SLP reply: '$slp_url'" ;;
  esac
  ip netns exec "$server" /usr/bin/python3 "$peer_tool" listen 10.77.0.1 20 >"$root/listen.txt" 2>&1 &
  listen_pid=$!
  eventually grep -q listening "$root/listen.txt" || fail "listener did not start"
  stop_program
  eventually grep -q "_http._tcp.local. 12 0" "$root/listen.txt" || fail "no goodbye: $(cat "$root/listen.txt")"
  kill "$listen_pid" 2>/dev/null
  stop_capture
  # Every packet of the program dissects cleanly (repeated probes and
  # answers are the protocol's own retransmissions).
  sent="$(tshark -r "$root/capture.pcap" -Y "ip.src == 10.77.0.9" 2>/dev/null | wc -l)"
  [ "$sent" -gt 10 ] || fail "only $sent packets of the program captured"
  check "packets tshark finds fault with" "" \
    "$(tshark -r "$root/capture.pcap" -Y "ip.src == 10.77.0.9 && (_ws.malformed || (_ws.expert.severity >= 0x00600000 && !dns.retransmission))" 2>/dev/null)"
  tshark -r "$root/capture.pcap" -Y "ip.src == 10.77.0.9 && srvloc" 2>/dev/null | grep -q "Service Reply" ||
    fail "no SLP reply in the capture"
  start_program
  eventually sh -c "[ \"\$(ip netns exec $server dig -p 5353 @10.77.0.9 HUB-35307.local A +short +tries=1 +time=1)\" = 10.77.0.9 ]" ||
    fail "no answer after the restart"
  eventually param_is bonjour_name "Office (2)" || fail "instance name after the restart: $(param bonjour_name)"
  stop_program
  ;;
*) echo "unknown case $case_name"; exit 2 ;;
esac

if [ "$failures" -ne 0 ]; then echo "$failures check(s) failed"; tail -n 20 "$root/stderr.txt"; exit 1; fi
echo "all checks passed"
