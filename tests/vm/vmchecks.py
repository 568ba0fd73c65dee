"""End-to-end checks that need no USB server: the program's start, the
emulated USB devices in the guest's sysfs, the MII link state, 802.1Q VLAN
devices, the port forwards, a program restart, the clock from an SNTP
server and USB hot-plug.

Each check takes the running Vm and raises Fail on a fault.
"""
import os
import re
import secrets
import shutil
import subprocess
import tempfile
import time
import urllib.parse
import urllib.request

from vmharness import BANNER, GUEST_ADDRESS, Fail, Skip, wait_for

CHECKS = {}


def check(name):
    def register(function):
        CHECKS[name] = function
        return function
    return register


def expect(condition, message):
    if not condition:
        raise Fail(message)


# Product names of the emulated devices, by hub port.
USB_PRODUCTS = {1: "QEMU USB Keyboard", 2: "QEMU USB Tablet", 3: "QEMU USB HARDDRIVE", 4: "QEMU USB SERIAL"}

# Class drivers the guest must not have: the program claims the interfaces.
CLASS_DRIVER_MODULES = ("usbhid", "hid_generic", "hid", "usb_storage", "uas", "usbserial", "ftdi_sio")

# One line per USB device: name devpath speed devnum vid:pid product.
LIST_USB_DEVICES = (
    'for d in /sys/bus/usb/devices/*; do [ -f "$d/devpath" ] || continue; '
    'echo "${d##*/}|$(cat $d/devpath)|$(cat $d/speed)|$(cat $d/devnum)|'
    '$(cat $d/idVendor):$(cat $d/idProduct)|$(cat $d/product 2>/dev/null)"; done')


def usb_devices(vm):
    """{sysfs name: {devpath, speed, devnum, id, product}}."""
    devices = {}
    for line in vm.guest_ok(LIST_USB_DEVICES).splitlines():
        fields = line.split("|")
        if len(fields) == 6:
            name, devpath, speed, devnum, ident, product = fields
            devices[name] = {"devpath": devpath, "speed": speed, "devnum": int(devnum),
                             "id": ident, "product": product}
    return devices


def banner_lines(vm):
    return [line for line in vm.console().splitlines() if line.startswith(BANNER)]


@check("banner")
def program_started(vm):
    banners = banner_lines(vm)
    expect(banners, "no start banner on the console")
    expect(banners[0] == "%s%s/255.255.255.0 HTTP:80 HTTPS:443 KickOff:0 ####" % (BANNER, GUEST_ADDRESS),
           "unexpected first banner: %r" % banners[0])
    console = vm.console()
    expect("### Non Zeronf IP:%s setup default Gate:10.0.2.2 ###" % GUEST_ADDRESS in console,
           "no static address set-up line on the console")
    failed = re.findall(r"VM: module \S+ failed", console)
    expect(not failed, "kernel modules failed to load: %s" % failed)
    vm.guest_ok("kill -0 $(cat /vmctl/program.pid)")
    addresses = vm.guest_ok("ip -4 addr show dev eth0")
    expect("inet %s/24" % GUEST_ADDRESS in addresses, "eth0 lacks the static address:\n" + addresses)


@check("usb-sysfs")
def usb_devices_behind_hub(vm):
    devices = usb_devices(vm)
    hub = devices.get("1-1")
    expect(hub and hub["devpath"] == "1" and hub["product"] == "QEMU USB Hub",
           "no hub on root port 1: %s" % devices)
    expect(hub["speed"] == "12", "the hub is not full speed: %s" % hub["speed"])
    for port, product in USB_PRODUCTS.items():
        name = "1-1.%d" % port
        device = devices.get(name)
        expect(device is not None, "%s (%s) missing from sysfs: %s" % (name, product, sorted(devices)))
        # On product 353 the hub port is the USB port: devpath "1.<port>".
        expect(device["devpath"] == "1.%d" % port, "%s has devpath %s" % (name, device["devpath"]))
        expect(device["product"] == product, "%s is %r, not %r" % (name, device["product"], product))
        # The descriptors the program reads from sysfs: the device
        # descriptor first, its ids those of the device.
        raw = vm.guest_descriptors(name)
        expect(len(raw) >= 18 + 9 and raw[0] == 18 and raw[1] == 1, "%s: bad device descriptor %r" % (name, raw[:18]))
        expect("%02x%02x:%02x%02x" % (raw[9], raw[8], raw[11], raw[10]) == device["id"],
               "%s: descriptor ids differ from sysfs %s" % (name, device["id"]))
        expect(raw[18] == 9 and raw[19] == 2, "%s: no configuration descriptor after the device's" % name)
        # The program opens the usbfs node of every device.
        vm.guest_ok("test -c /dev/bus/usb/001/%03d" % device["devnum"])
        # No kernel driver has the device's interface; only the program may
        # hold it, through usbfs.
        code, driver = vm.guest("readlink /sys/bus/usb/devices/%s:1.0/driver" % name)
        expect(code != 0 or driver.strip().endswith("/usbfs"),
               "%s's interface is bound to %s" % (name, driver.strip()))
    # Nothing on the other root ports.
    expect(not [n for n in devices if re.match(r"^[12]-[2-9]", n)],
           "devices on other root ports: %s" % sorted(devices))
    modules = vm.guest_ok("cut -d' ' -f1 /proc/modules").split()
    loaded = [m for m in CLASS_DRIVER_MODULES if m in modules]
    expect(not loaded, "USB class drivers loaded in the guest: %s" % loaded)


def simboard(vm, command):
    """One command to the simulated board's control socket in the guest."""
    return vm.guest_ok("echo %s | socat -T5 - UNIX-CONNECT:/var/simboard.ctl" % command)


def probe_link(vm):
    code, output = vm.guest("linkstate_probe eth0")
    values = dict(line.split("=", 1) for line in output.splitlines() if "=" in line)
    return code, values, output


@check("link-state")
def link_state_from_mii(vm):
    code, values, output = probe_link(vm)
    expect(code == 0, "linkstate_probe reports no link (%d):\n%s" % (code, output))
    # Real MII reads through the e1000 driver, not the carrier stand-in.
    expect(values.get("product") == "353" and values.get("phy") == "4", "identity not read:\n" + output)
    expect(re.match(r"0x[0-9a-f]{4}$", values.get("bmsr", "")), "BMSR not read over MII:\n" + output)
    expect(re.match(r"0x[0-9a-f]{4}$", values.get("phy_status", "")), "PHY status not read over MII:\n" + output)
    expect(int(values["phy_status"], 16) & 0x400, "PHY status without the link bit:\n" + output)
    # Product 353 reads two PHYs (phy0_addr 4 and PHY 0); e1000 answers both.
    expect(values.get("link") == "1" and values.get("mask") == "0x11", "link state:\n" + output)

    # The program's own reading, once a second: a failed or partial read
    # would put "E5" on the status display within a few polls.
    time.sleep(3)
    log = simboard(vm, "dump")
    expect(log.rstrip().endswith("ok") and "display" in log, "no display output from the board:\n" + log)
    expect('"E5' not in log, "the program saw a link failure:\n" + log)

    # Pulling the cable in QEMU clears the link bit of BMSR: the register
    # reads are live. (QEMU's e1000 leaves the PHY specific status register
    # as it is, so the program's link bit cannot be taken down here.)
    vm.set_link(False)
    try:
        _, down, output = probe_link(vm)
        expect(not int(down.get("bmsr", "0"), 16) & 0x4, "BMSR still shows link after set_link off:\n" + output)
    finally:
        vm.set_link(True)
    # The emulated PHY negotiates again before it reports the link.
    wait_for("BMSR to show the link again",
             lambda: int(probe_link(vm)[1].get("bmsr", "0"), 16) & 0x4, 20, 1)


def vlan_devices(vm):
    """{device: vid} from the guest's /proc/net/vlan/config."""
    devices = {}
    for line in vm.guest_ok("cat /proc/net/vlan/config").splitlines()[2:]:
        fields = [f.strip() for f in line.split("|")]
        if len(fields) == 3:
            devices[fields[0]] = int(fields[1])
    return devices


def ipv4_labels(vm):
    """{label: address/prefix} of every IPv4 address in the guest."""
    labels = {}
    for line in vm.guest_ok("ip -4 -o addr show").splitlines():
        match = re.search(r"inet (\S+) .*?scope \S+ (?:secondary )?(\S+)", line)
        if match:
            labels[match.group(2).rstrip("\\")] = match.group(1)
    return labels


# What tests/vm/params.dat asks of the program: ports 1 and 2 on VLAN 7,
# port 3 on VLAN 8.
PROGRAM_VLANS = {"eth0.7": 7, "eth0.8": 8}
PROGRAM_VLAN_ADDRESSES = {"eth0.7": "192.0.2.17/28", "eth0.7:0": "192.0.2.18/28", "eth0.8": "192.0.2.33/28"}


def program_vlans_in_place(vm):
    devices = vlan_devices(vm)
    labels = ipv4_labels(vm)
    return all(devices.get(d) == v for d, v in PROGRAM_VLANS.items()) and \
        all(labels.get(k) == a for k, a in PROGRAM_VLAN_ADDRESSES.items())


def probe_steps(output):
    """The vlan_probe output split per step: [(step, rc, vlans, addrs)]."""
    steps = []
    for line in output.splitlines():
        if line.startswith("> "):
            steps.append([line[2:], None, {}, {}])
        elif not steps:
            continue
        elif line.startswith("rc="):
            steps[-1][1] = int(line[3:])
        elif line.startswith("vlan "):
            _, device, vid, _ = line.split()
            steps[-1][2][device] = int(vid)
        elif line.startswith("addr "):
            _, label, address = line.split()
            steps[-1][3][label] = address
    return steps


@check("vlan")
def vlan_devices_real(vm):
    # The program's start-up made them from the parameter file: one device
    # per VLAN id, the second port on VLAN 7 as an alias of the same device.
    devices = vlan_devices(vm)
    labels = ipv4_labels(vm)
    expect({d: devices.get(d) for d in PROGRAM_VLANS} == PROGRAM_VLANS,
           "the program's VLAN devices: %s" % devices)
    for label, address in PROGRAM_VLAN_ADDRESSES.items():
        expect(labels.get(label) == address, "%s should hold %s: %s" % (label, address, labels))
    vm.guest_ok("test -d /sys/class/net/eth0.7 && test -d /sys/class/net/eth0.8")

    # The slot table on VLAN 100 (ids the program does not use): two slots
    # share one device, which outlives the first slot and goes with the last.
    code, output = vm.guest("vlan_probe set 11 100 198.51.100.1/24 set 12 100 198.51.100.2/24 "
                            "release 11 release 12")
    expect(code == 0, "vlan_probe failed (%d):\n%s" % (code, output))
    steps = probe_steps(output)
    expect(len(steps) == 4, "vlan_probe steps:\n" + output)
    first, second, release_first, release_last = steps
    expect(first[1] == 1 and first[2].get("eth0.100") == 100, "no device eth0.100 for the first slot:\n" + output)
    expect(first[3].get("eth0.100") == "198.51.100.1/24", "first slot's address:\n" + output)
    expect(second[1] == 1 and [d for d in second[2] if d.startswith("eth0.100")] == ["eth0.100"],
           "the second slot did not share eth0.100:\n" + output)
    expect(second[3].get("eth0.100:0") == "198.51.100.2/24", "second slot's alias address:\n" + output)
    expect(release_first[2].get("eth0.100") == 100, "eth0.100 went with its first user:\n" + output)
    expect("eth0.100" not in release_first[3] and "198.51.100.2/24" in release_first[3].values(),
           "after releasing slot 11 only its address should go:\n" + output)
    expect("eth0.100" not in release_last[2], "eth0.100 outlived its last user:\n" + output)
    expect(not [a for a in release_last[3].values() if a.startswith("198.51.100.")],
           "addresses left on VLAN 100:\n" + output)
    # The kernel agrees; the program's own devices were not touched.
    code, _ = vm.guest("test -e /sys/class/net/eth0.100")
    expect(code != 0, "eth0.100 still in sysfs")
    expect(program_vlans_in_place(vm), "the program's VLANs changed: %s" % vlan_devices(vm))


def serving(vm, proto, port):
    """True when something in the guest listens on that port."""
    table = vm.guest_ok("netstat -ln%s" % proto[0])
    return re.search(r"^%s\s.*:%d\s" % (proto, port), table, re.M) is not None


def start_echo(vm, proto, port, token):
    """A one-shot socat in the guest that answers a line with token-line:
    "bound" once it listens, "taken" when the port is not free."""
    kind = "TCP4-LISTEN:%d,reuseaddr" % port if proto == "tcp" else "UDP4-RECVFROM:%d" % port
    log = "/vmctl/echo-%s%d.log" % (proto, port)
    vm.guest_ok("(timeout 30 socat -d -d %s SYSTEM:'read x; echo %s-$x' >%s 2>&1 &)" % (kind, token, log))

    def outcome():
        text = vm.guest_ok("cat %s" % log)
        if re.search(r" N (listening|receiving) on ", text):
            return "bound"
        return "taken" if " E " in text else None
    return wait_for("socat on %s/%d" % (proto, port), outcome, 10)


@check("forwards")
def port_forwards(vm):
    """Every forwarded port that nothing in the guest serves yet carries a
    request and its reply between 127.0.0.1 and the guest."""
    tested = 0
    for proto, guest_port, _ in vm.forwards():
        if serving(vm, proto, guest_port):
            continue  # the program serves it; its own tests cover it
        token = secrets.token_hex(4)
        if start_echo(vm, proto, guest_port, token) != "bound":
            continue  # the program took the port in the meantime
        try:
            if proto == "tcp":
                reply = vm.exchange_tcp(guest_port, b"ping\n")
            else:
                reply = vm.exchange_udp(guest_port, b"ping\n")
        except OSError as error:
            raise Fail("%s/%d: no reply through the forward: %s" % (proto, guest_port, error))
        expect(reply.strip() == ("%s-ping" % token).encode(), "%s/%d replied %r" % (proto, guest_port, reply))
        tested += 1
    if not tested:
        raise Skip("the program serves every forwarded port; its own tests cover them")


@check("restart")
def program_restart(vm):
    """SIGINT ends the program with code 0; its VLAN devices go with it; the
    restart loop starts it warm (KickOff 1) and the devices come back."""
    expect(program_vlans_in_place(vm), "the program's VLANs are not in place before the restart")
    starts = len(banner_lines(vm))
    vm.guest_ok("touch /vmctl/hold && kill -INT $(cat /vmctl/program.pid)")
    try:
        wait_for("the program's exit", lambda: re.search(r"VM: program exit \d+", vm.console()), 60)
        exits = re.findall(r"VM: program exit (\d+)", vm.console())
        expect(exits[-1] == "0", "exit code %s after SIGINT" % exits[-1])
        expect(not [d for d in vlan_devices(vm) if d in PROGRAM_VLANS],
               "VLAN devices left after the program ended: %s" % vlan_devices(vm))
    finally:
        vm.guest_ok("rm -f /vmctl/hold")
    wait_for("the next start's banner", lambda: len(banner_lines(vm)) > starts, 90)
    expect(banner_lines(vm)[-1].endswith("KickOff:%d ####" % starts), "warm start banner: %s" % banner_lines(vm)[-1])
    wait_for("the VLAN devices made again", lambda: program_vlans_in_place(vm), 60)


def post_page(vm, path, fields):
    """Posts a settings form as the administrator (session keys are off in
    the test's parameter file) through the forwarded HTTP port; the page."""
    url = "http://127.0.0.1:%d%s" % (vm.host_port("tcp", 80), path)
    data = urllib.parse.urlencode(fields).encode()
    with urllib.request.urlopen(url, data, timeout=20) as answer:
        return answer.read().decode("utf-8", "replace")


@check("vlan-page")
def vlan_page(vm):
    """A VLAN switched on in the IPv4 VLAN page is made in the guest's
    kernel without a restart, and goes when switched off; the program's
    other VLANs stay."""
    starts = len(banner_lines(vm))
    expect("eth0.9" not in vlan_devices(vm), "eth0.9 is there before the page asked for it")
    page = post_page(vm, "/network/ip4vlan.html",
                     {"action": "set", "ip4vlan_on_4": "on", "ip4vlan_id_4": "9",
                      "ip4vlan_addr_4": "192.0.2.49", "ip4vlan_mask_4": "255.255.255.240"})
    expect("The device is restarting." not in page, "the VLAN page restarted the device")
    try:
        wait_for("eth0.9 made by the page", lambda: vlan_devices(vm).get("eth0.9") == 9, 60)
        wait_for("192.0.2.49 on eth0.9", lambda: ipv4_labels(vm).get("eth0.9") == "192.0.2.49/28", 30)
        expect(program_vlans_in_place(vm), "the program's other VLANs changed: %s" % vlan_devices(vm))
    finally:
        post_page(vm, "/network/ip4vlan.html", {"action": "set", "__ip4vlan_on_4": "off"})
    wait_for("eth0.9 gone when switched off", lambda: "eth0.9" not in vlan_devices(vm), 60)
    expect(program_vlans_in_place(vm), "the program's VLANs changed: %s" % vlan_devices(vm))
    expect(len(banner_lines(vm)) == starts, "the program restarted")


@check("clock")
def clock_follows_sntp(vm):
    """The guest's own clock, set back a year, follows chrony on QEMU's side
    (127.0.0.1 in QEMU's namespace, 10.0.2.2 for the guest: the server of
    the test's parameter file)."""
    if not shutil.which("chronyd") or not shutil.which("nsenter"):
        raise Skip("chronyd or nsenter is not installed")
    with open(os.path.join(vm.run_dir, "qemu.pid")) as f:
        qemu_pid = f.read().strip()
    year_ago = int(time.time()) - 365 * 86400
    vm.guest_ok("date -s @%d" % year_ago)
    guest_now = int(vm.guest_ok("date +%s").strip())
    expect(guest_now < time.time() - 300 * 86400, "the guest's clock was not set back: %d" % guest_now)

    scratch = tempfile.mkdtemp(prefix="vm-chrony-")
    conf = os.path.join(scratch, "chrony.conf")
    with open(conf, "w") as f:
        f.write("allow all\nlocal stratum 8\nbindaddress 127.0.0.1\ncmdport 0\n"
                "pidfile %s/chronyd.pid\ndriftfile %s/drift\n" % (scratch, scratch))
    log = open(os.path.join(scratch, "chronyd.log"), "w")
    # -x: chrony never adjusts the host's clock.
    chrony = subprocess.Popen(["nsenter", "--net=/proc/%s/ns/net" % qemu_pid, "chronyd", "-x", "-d", "-u", "root",
                               "-f", conf], stdout=log, stderr=subprocess.STDOUT)
    log.close()
    try:
        # The program tries every 15 s until a synchronisation succeeds.
        wait_for("the guest's clock to follow the server",
                 lambda: abs(int(vm.guest_ok("date +%s").strip()) - time.time()) <= 2, 120, 2)
    finally:
        chrony.terminate()
        try:
            chrony.wait(10)
        except subprocess.TimeoutExpired:
            chrony.kill()
        shutil.rmtree(scratch, ignore_errors=True)


@check("hotplug")
def usb_hotplug(vm):
    # The keyboard, and the stick, whose drive QEMU deletes with it.
    for device_id, port in (("kbd", 1), ("storage", 3)):
        name = "1-1.%d" % port
        before = usb_devices(vm)
        expect(name in before, "no %s at %s to unplug" % (device_id, name))
        vm.unplug(device_id)
        try:
            wait_for("%s to leave sysfs" % name, lambda: vm.guest("test -e /sys/bus/usb/devices/%s" % name)[0] != 0, 20)
            remaining = usb_devices(vm)
            others = ["1-1.%d" % p for p in (1, 2, 3, 4) if p != port]
            expect(all(o in remaining for o in others), "other devices went too: %s" % sorted(remaining))
        finally:
            vm.plug(device_id)
        wait_for("%s back in sysfs" % name,
                 lambda: usb_devices(vm).get(name, {}).get("product") == USB_PRODUCTS[port], 20)
        after = usb_devices(vm)[name]
        expect(after["devpath"] == "1.%d" % port, "%s came back at devpath %s" % (device_id, after["devpath"]))
        expect(after["devnum"] != before[name]["devnum"], "%s was not enumerated anew" % device_id)
        vm.guest_ok("test -c /dev/bus/usb/001/%03d" % after["devnum"])
