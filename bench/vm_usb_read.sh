#!/bin/bash
# Reading the appliance VM's emulated stick (64 MiB) through the USB server
# from the host, against reading the same disk inside the guest with dd
# through the kernel's own usb-storage driver (the baseline). A second run
# reads from inside the guest against the server at the guest's eth0
# address: no QEMU network and no relays, only the server's own cost.
#
#   bench/vm_usb_read.sh [BUILD_DIR]      (default build/plain; needs root and QEMU)
#
# usb-storage is loaded only for the baseline and removed before the server
# run, so the program can claim the stick.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:-$here/build/plain}" && pwd)"
state="$build/vm-bench"
mib=64
kver="$(ls /lib/modules | sort -V | tail -1)"
moddir="/lib/modules/$kver"
python="$(command -v /usr/bin/python3 || command -v python3)"
vmtest() { "$python" "$here/tests/vm/vmtest.py" --source "$here" --state "$state" "$@"; }

# usb-storage and what it needs, dependencies first.
modules=()
add_module() {
  local path="$1" dep
  for m in "${modules[@]+"${modules[@]}"}"; do [ "$m" = "$path" ] && return 0; done
  for dep in $(grep "^$path:" "$moddir/modules.dep" | cut -d: -f2); do add_module "$dep"; done
  modules+=("$path")
}
for name in sd_mod usb-storage; do
  add_module "$(grep -o "^kernel/[^:]*/$name\.ko[^:]*" "$moddir/modules.dep" | head -1)"
done
files=()
for m in "${modules[@]}"; do
  case "$m" in *.xz|*.zst|*.gz) echo "vm_usb_read: compressed module $m not handled" >&2; exit 1 ;; esac
  files+=(--file "$moddir/$m=/bench/$(basename "$m")")
done
# usbcore is already loaded by the guest's init.
insmods=""
for m in "${modules[@]}"; do
  case "$(basename "$m")" in usbcore.ko|usb-common.ko) continue ;; esac
  insmods+="insmod /bench/$(basename "$m"); "
done

client="$build/tools/vm_usbcheck"
files+=(--file "$client=/bench/vm_usbcheck")
vmtest --program "$build/usbdevsrv" "${files[@]}" start
trap 'vmtest stop >/dev/null' EXIT
run="$("$python" -c 'import json,sys; print(json.load(open(sys.argv[1]))["run"])' "$state/state.json")"
guest() { "$python" "$here/vm/guest.py" "$run" "$1"; }

# Baseline: the guest's kernel reads the stick.
guest "$insmods"'for i in $(seq 100); do [ -b /dev/sda ] && break; sleep 0.2; done; [ -b /dev/sda ]' >/dev/null
baseline="$(guest 'read s _ < /proc/uptime; dd if=/dev/sda of=/dev/null bs=65536 count='$((mib * 16))' 2>/dev/null; read e _ < /proc/uptime; echo "$s $e"' | awk '{print $2 - $1}')"
# The page cache holds the stick after the first read: dropped first.
baseline1m="$(guest 'echo 3 > /proc/sys/vm/drop_caches; read s _ < /proc/uptime; dd if=/dev/sda of=/dev/null bs=1048576 count='$mib' 2>/dev/null; read e _ < /proc/uptime; echo "$s $e"' | awk '{print $2 - $1}')"
guest "rmmod usb_storage sd_mod" >/dev/null

# The server: the host reads the same sectors over the forwarded port 9200.
port="$(awk '$1 == "tcp" && $2 == 9200 {print $3}' "$run/ports")"
for i in $(seq 60); do "$client" --port "$port" list 2>/dev/null | grep -q "port 3 " && break; sleep 1; done
row="$("$client" --port "$port" list | awk '$4 == 3 {print $2; exit}')"
# 64 KiB a command (dd's block size) and 1 MiB a command: each command is
# three round trips through QEMU's user-mode network.
served64="$("$client" --port "$port" storage-read "$row" 3 "$mib" 64 | awk '{print $5}')"
served1m="$("$client" --port "$port" storage-read "$row" 3 "$mib" 1024 | awk '{print $5}')"
# The same reads by a client inside the guest, at the listener's eth0
# address: "SECONDS CPU MAPS", the program's CPU time (user + system) over
# the read and its mappings of usbfs nodes (transfer buffers) while the
# client still holds the stick after the read.
inguest() {
  local cpu="awk '{print \$14 + \$15}' /proc/\$pid/stat"
  guest "pid=\$(pidof usbdevsrv); c0=\$($cpu); /bench/vm_usbcheck --host 10.0.2.15 --port 9200 storage-read $row 3 $mib $1 2 > /tmp/read.out & client=\$!; for i in \$(seq 600); do grep -q holding /tmp/read.out && break; sleep 0.1; done; c1=\$($cpu); maps=\$(grep -c ' /dev/bus/usb/' /proc/\$pid/maps); wait \$client; echo \$(awk '/^read/ {print \$5}' /tmp/read.out) \$((c1 - c0)) \$maps"
}
read -r guest64 cpu64 maps64 <<<"$(inguest 64)"
read -r guest1m cpu1m maps1m <<<"$(inguest 1024)"
ticks="$(guest 'getconf CLK_TCK 2>/dev/null || echo 100' | tr -dc 0-9)"

awk -v b="$baseline" -v s64="$served64" -v s1m="$served1m" -v g64="$guest64" -v g1m="$guest1m" -v b1m="$baseline1m" -v mib="$mib" \
    -v c64="$cpu64" -v c1m="$cpu1m" -v m64="$maps64" -v m1m="$maps1m" -v hz="${ticks:-100}" 'BEGIN {
  printf "guest dd bs=64k (usb-storage):    %d MiB in %.3f s = %6.2f MiB/s\n", mib, b, mib / b
  printf "guest dd bs=1M (usb-storage):     %d MiB in %.3f s = %6.2f MiB/s\n", mib, b1m, mib / b1m
  printf "USB server to host, 64 KiB reads: %d MiB in %.3f s = %6.2f MiB/s  ratio %.2f\n", mib, s64, mib / s64, b / s64
  printf "USB server to host, 1 MiB reads:  %d MiB in %.3f s = %6.2f MiB/s  ratio %.2f\n", mib, s1m, mib / s1m, b / s1m
  printf "USB server in guest, 64 KiB reads: %d MiB in %.3f s = %6.2f MiB/s  ratio %.2f\n", mib, g64, mib / g64, b / g64
  printf "USB server in guest, 1 MiB reads:  %d MiB in %.3f s = %6.2f MiB/s  ratio %.2f  ratio to dd bs=1M %.2f\n", mib, g1m, mib / g1m, b / g1m, b1m / g1m
  printf "program CPU in guest: 64 KiB reads %.2f s (%.0f%% of the read), 1 MiB reads %.2f s (%.0f%%)\n", c64 / hz, 100 * c64 / hz / g64, c1m / hz, 100 * c1m / hz / g1m
  printf "usbfs mappings of the program after the read: 64 KiB reads %d, 1 MiB reads %d\n", m64, m1m
  printf "(ratio: server throughput / throughput of the guest dd bs=64k unless named)\n"
}'
