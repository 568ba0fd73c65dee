#!/usr/bin/env bash
# The built program's web server seen from the LAN: the program runs as
# host mode starts it (a network namespace with "eth0"), the client (curl)
# sits in a second namespace at the far end of the veth.
#   program_web_test.sh PROGRAM SOURCE_DIR CASE
# CASE: sessions (a login survives SIGTERM and a warm start with its idle
# time; a cold start drops it), listeners (HTTP and HTTPS on IPv4 and the
# IPv6 link-local address; plain requests redirected while HTTP is not
# allowed), vlan (management VLAN only: nothing on the untagged interface),
# browser (headless Chromium logs in and out, times out, speaks German;
# screenshots go to ARTEFACTS).
#   program_web_test.sh PROGRAM SOURCE_DIR CASE [ARTEFACTS]
set -uo pipefail
prog="$1"; src="$2"; case_name="$3"; artefacts="${4:-}"
[ "$(id -u)" -eq 0 ] || { echo "skipped: needs root"; exit 0; }
[ -x "$prog" ] || { echo "skipped: the program is not built here"; exit 0; }
for tool in curl openssl socat unshare msgfmt; do
  command -v "$tool" >/dev/null || { echo "skipped: $tool is not installed"; exit 0; }
done

tag="pw$$"
client="${tag}c"; server="${tag}s"
root="$(mktemp -d /tmp/progweb-XXXXXX)"
pid=0
failures=0

cleanup() {
  [ "$pid" -gt 0 ] && kill -KILL "$pid" 2>/dev/null
  wait 2>/dev/null
  ip netns del "$client" 2>/dev/null
  ip netns del "$server" 2>/dev/null
  ip netns del "${tag}v" 2>/dev/null
  rm -rf "$root"
}
trap cleanup EXIT
trap "exit 1" INT TERM

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

# Namespaces and the veth between them.
ip netns add "$client" && ip netns add "$server" || exit 1
ip -n "$client" link add eth0 type veth peer name peer0 netns "$server" || exit 1
ip -n "$client" link set lo up
ip -n "$server" link set lo up
ip -n "$server" addr add 10.78.0.1/24 dev peer0
ip -n "$server" link set peer0 up

# The data root: model p353 (20 ports), the content tree, a key pair.
mkdir -p "$root"/{etc,flash,var,romfs,tmp,dev,proc/sys/vm,proc/sys/net/ipv6/conf/all,proc/sys/net/ipv4/conf/all}
cp -r "$src/tests/fixtures/identity/p353/." "$root/"
cp -r "$src/content/templates" "$root/romfs/templates"
for po in "$src"/content/locale/*.po; do
  lang="$(basename "$po" .po)"
  mkdir -p "$root/romfs/locale/$lang/LC_MESSAGES"
  msgfmt -o "$root/romfs/locale/$lang/LC_MESSAGES/pel.mo" "$po" || exit 1
done
touch "$root/dev/gpio.sim" "$root/etc/resolv.conf"
openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj "/CN=usbdevsrv" \
  -keyout "$root/flash/cert_pkey.pem" -out "$root/flash/cert_srv.pem" >/dev/null 2>&1 || exit 1
cat > "$root/etc/params.dat" <<'PARAMS'
ip_addr = 10.78.0.2
ip_mask = 255.255.255.0
ip_dhcp = off
ip_bootp = off
admin_name = Admin
admin_pwd = adminpass
any_name = User
any_pwd = userpass1
sessKeys = on
sessKeyTimer = on
sessKeyTimeout = 120
PARAMS

start_program() {  # start_program KICKOFF
  : >"$root/stderr.txt"
  ip netns exec "$client" unshare --mount --propagation private \
    sh -c 'mount --bind "$1/etc/resolv.conf" /etc/resolv.conf || exit 1
           exec env APPLIANCE_ROOT="$1" KickOff="$2" "$3"' program "$root" "$1" "$prog" \
    >>"$root/stdout.txt" 2>"$root/stderr.txt" &
  pid=$!
  eventually grep -q "KickOff:" "$root/stderr.txt" || fail "no start banner: $(cat "$root/stderr.txt")"
}
# Ends the program with SIGTERM (bounded: 30 s) and checks it exits 0.
stop_program() {
  kill -TERM "$pid"
  local i rc
  for i in $(seq 1 300); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  wait "$pid"; rc=$?
  pid=0
  check "SIGTERM ends the program with exit code" 0 "$rc"
}
fetch() {  # fetch URL [curl args..]: the answer with its head
  local url="$1"; shift
  ip netns exec "$server" curl -s -i -k --max-time 5 "$@" "$url"
}
status_of() { head -1 | cut -d' ' -f2; }
# The status of a page with a session cookie.
page_status() { fetch "http://10.78.0.2$1" -H "Cookie: SessKey=$2" | status_of; }
board() { echo "$1" | socat - "UNIX-CONNECT:$root/var/simboard.ctl" >/dev/null; }
serving() { fetch http://10.78.0.2/contact.html | grep -q "^HTTP/1.1 200"; }

case "$case_name" in
sessions)
  start_program 1
  eventually serving || fail "no page on eth0: $(tail -5 "$root/stderr.txt")"
  key="$(fetch http://10.78.0.2/index.html --data 'action=set&name=Admin&pwd=adminpass' |
         sed -n 's/^Set-Cookie: *SessKey=\([0-9A-Za-z]\{16\}\);.*/\1/p' | tr -d '\r')"
  check "login key length" 16 "${#key}"
  check "start page with the key" 200 "$(page_status /start.html "$key")"
  board "ticks +10000"  # 100 s idle before the end
  stop_program
  check "session image size" 824 "$(stat -c %s "$root/var/sessions.raw" 2>/dev/null)"
  check "session image mode" 600 "$(stat -c %a "$root/var/sessions.raw" 2>/dev/null)"

  start_program 2  # a warm start
  eventually serving || fail "no page after the warm start"
  # A page that does not refresh the session shows it is still there.
  check "session kept across the restart" 404 "$(page_status /maintenance/updatecheck.html "$key")"
  board "ticks +2100"  # 121 s idle in all
  check "idle time counted from before the restart" 302 "$(page_status /start.html "$key")"
  key="$(fetch http://10.78.0.2/index.html --data 'action=set&name=User&pwd=userpass1' |
         sed -n 's/^Set-Cookie: *SessKey=\([0-9A-Za-z]\{16\}\);.*/\1/p' | tr -d '\r')"
  check "user login key length" 16 "${#key}"
  stop_program

  start_program 0  # a cold start
  eventually serving || fail "no page after the cold start"
  [ -e "$root/var/sessions.raw" ] && fail "the session image outlived a cold start"
  check "session dropped by a cold start" 302 "$(page_status /start.html "$key")"
  ;;
listeners)
  echo "http_allowed = off" >> "$root/etc/params.dat"
  start_program 1
  eventually serving || fail "no page on eth0: $(tail -5 "$root/stderr.txt")"
  plain="$(fetch http://10.78.0.2/contact.html)"
  echo "$plain" | grep -qi 'http-equiv="refresh" content="3; *url=https://' \
    && echo "ok: plain request refreshes to https in 3 s" || fail "no refresh to https: $plain"
  tls="$(fetch https://10.78.0.2/contact.html)"
  check "page over TLS" 200 "$(echo "$tls" | status_of)"
  echo "$tls" | grep -q 'http-equiv="refresh"' && fail "TLS answer redirects"
  # The IPv6 link-local address of eth0, reached through the veth.
  ll="$(ip -n "$client" -6 addr show dev eth0 scope link | sed -n 's/.*inet6 \([^/]*\).*/\1/p' | head -1)"
  eventually ip netns exec "$server" ping -6 -c1 -W1 "$ll%peer0" || true
  if [ -n "$ll" ]; then
    check "page over TLS on IPv6 link-local" 200 \
      "$(fetch "https://[$ll%25peer0]/contact.html" -g | status_of)"
    check "plain on IPv6 link-local answers" 200 "$(fetch "http://[$ll%25peer0]/contact.html" -g | status_of)"
  else
    fail "eth0 has no IPv6 link-local address"
  fi
  stop_program
  ;;
vlan)
  # The management VLAN device: a veth end standing in for eth0.7, its peer
  # in a namespace of its own (the VLAN's LAN). The program gives the
  # management VLAN the interface's address.
  vlan_lan="${tag}v"
  ip netns add "$vlan_lan" || exit 1
  ip -n "$client" link add eth0.7 type veth peer name peer7 netns "$vlan_lan" || exit 1
  ip -n "$vlan_lan" addr add 10.78.0.1/24 dev peer7
  ip -n "$vlan_lan" link set peer7 up
  printf 'ip4vlan_mgmt = on\nip4vlan_mgmt_untag = off\nip4vlan_mgmt_id = 7\n' >> "$root/etc/params.dat"
  start_program 1
  on_vlan() { ip netns exec "$vlan_lan" curl -s -i -k --max-time 2 "$1" | head -1 | cut -d' ' -f2; }
  eventually sh -c "ip netns exec $vlan_lan curl -s -i --max-time 1 http://10.78.0.2/contact.html | grep -q '^HTTP/1.1 200'" \
    || fail "no page on the management VLAN: $(tail -5 "$root/stderr.txt")"
  check "HTTPS on the management VLAN" 200 "$(on_vlan https://10.78.0.2/contact.html)"
  ip netns exec "$server" curl -s --max-time 3 http://10.78.0.2/contact.html >/dev/null \
    && fail "the untagged interface answers" || echo "ok: nothing on the untagged interface"
  stop_program
  ;;
browser)
  [ -x /usr/bin/chromium ] && [ -x /usr/bin/chromedriver ] && /usr/bin/python3 -c 'import selenium' 2>/dev/null \
    || { echo "skipped: chromium, chromium-driver or python3-selenium missing"; exit 0; }
  shots="${artefacts:-$root/screenshots}"
  start_program 1
  eventually serving || fail "no page on eth0: $(tail -5 "$root/stderr.txt")"
  # chromedriver and the browser run in the LAN namespace, as a PC there.
  ip netns exec "$server" env HOME="$root/tmp" timeout 150 /usr/bin/python3 "$src/tests/web/browser_session.py" \
    http://10.78.0.2 "$root" "$shots" || fail "browser session"
  stop_program
  ;;
*) echo "unknown case $case_name"; exit 2 ;;
esac

if [ "$failures" -gt 0 ]; then
  echo "--- program stderr (tail)"; tail -20 "$root/stderr.txt"
  exit 1
fi
echo "passed"
