"""End-to-end checks of the USB service (TCP port 9200) in the VM, driven
from the host with tools/vm_usbcheck through the forwarded port.

Rows are looked up by USB port in each check's own device list: the
hotplug check before these may have moved a device to another row. With
product 353 a device at devpath a.b is USB port (a-1)*5 + b, so the hub on
root port 1 gives hub port b as USB port b.
"""
import hashlib
import os
import random
import re
import subprocess
import time

from vmharness import STICK_PATTERN_SECTORS, STICK_SIZE, Fail, Skip, stick_sector, wait_for

# tools/vm_usbcheck, set by vmtest.py from --client.
CLIENT = None

CHECKS = {}

# hub port: (QMP id, vendor, product)
EXPECTED = {
    1: ("kbd", 0x0627, 0x0001),
    2: ("tablet", 0x0627, 0x0001),
    3: ("storage", 0x46F4, 0x0001),
    4: ("serial", 0x0403, 0x6001),
}


def server_check(name):
    def register(function):
        def run(vm):
            if not CLIENT or not os.path.exists(CLIENT):
                raise Skip("%s needs the client tools/vm_usbcheck (vmtest.py --client)" % name)
            wait_for("the USB server to listen on port 9200 in the guest",
                     lambda: server_listening(vm), 60, 1)
            function(vm)
        CHECKS[name] = run
        return function
    return register


def server_listening(vm):
    return re.search(r"^tcp\s.*:9200\s.*LISTEN", vm.guest_ok("netstat -ltn"), re.M) is not None


def expect(condition, message):
    if not condition:
        raise Fail(message)


def client_args(vm, *args):
    return [CLIENT, "--port", str(vm.host_port("tcp", 9200))] + [str(a) for a in args]


def client(vm, *args, timeout=60, check=True):
    """Runs vm_usbcheck; its output lines."""
    done = subprocess.run(client_args(vm, *args), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, timeout=timeout)
    if check and done.returncode != 0:
        raise Fail("vm_usbcheck %s failed (%d): %s%s" % (" ".join(map(str, args)), done.returncode,
                                                          done.stdout, done.stderr))
    return done.stdout.splitlines() if check else done


def device_list(vm):
    """{port: (row, vendor, product, speed, available)} from DEVICE_LIST."""
    rows = {}
    for line in client(vm, "list"):
        m = re.match(r"row (\d+) port (\d+) ([0-9a-f]{4}):([0-9a-f]{4}) speed (\d+) available (\d+)$", line)
        expect(m, "unexpected list line %r" % line)
        row, port, vendor, product, speed, available = m.groups()
        expect(int(port) not in rows, "port %s listed twice" % port)
        rows[int(port)] = (int(row), int(vendor, 16), int(product, 16), int(speed), int(available))
    return rows


@server_check("tls-list")
def tls_device_list(vm):
    """The TLS port (9443) serves with the image's certificate pair and
    lists what the plain port lists."""
    done = subprocess.run([CLIENT, "--tls", "--port", str(vm.host_port("tcp", 9443)), "list"],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True, timeout=60)
    expect(done.returncode == 0, "list over TLS failed (%d): %s%s" % (done.returncode, done.stdout, done.stderr))
    plain = client(vm, "list")
    expect(done.stdout.splitlines() == plain, "TLS list %r, plain list %r" % (done.stdout, plain))


def row_of(vm, port, within=20):
    """The row of the device on port; a device plugged back a moment ago
    shows after the server's next rescan, so the list is asked again for a
    bounded while."""
    deadline = time.monotonic() + within
    while True:
        rows = device_list(vm)
        if port in rows or time.monotonic() > deadline:
            break
        time.sleep(0.5)
    expect(port in rows, "USB port %d is not in the device list: %s" % (port, rows))
    return rows[port][0]


def in_use(vm, row, port):
    """Bit 0 of PORT_STATUS's code: the row is claimed by a client."""
    return int(client(vm, "status", row, port)[0].split()[1]) & 1 == 1


def fields(lines):
    """"key value" lines as a dict; keys of two words where the second is a
    number ("read 0", "configuration 1")."""
    out = {}
    for line in lines:
        m = re.match(r"((?:read|wrote|configuration) \d+|\S+) (.*)$", line)
        key, value = m.groups() if m else (line, "")
        out[key] = value
    return out


class Background:
    """vm_usbcheck running beside the check, its output read line by line."""

    def __init__(self, vm, *args):
        self.process = subprocess.Popen(client_args(vm, *args), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        universal_newlines=True)
        self.lines = []

    def expect_line(self, wanted):
        line = self.process.stdout.readline().strip()
        self.lines.append(line)
        if line != wanted:
            self.process.kill()
            raise Fail("expected %r from vm_usbcheck, got %r (%s)" % (wanted, line, self.process.stderr.read()))

    def finish(self, timeout=60):
        try:
            out, err = self.process.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            out, err = self.process.communicate()
            raise Fail("vm_usbcheck did not finish within %d s: %s%s" % (timeout, out, err))
        if self.process.returncode != 0:
            raise Fail("vm_usbcheck failed (%d): %s%s" % (self.process.returncode, out, err))
        return self.lines + out.splitlines()

    def stop(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.communicate()


@server_check("device-list")
def device_list_check(vm):
    """DEVICE_LIST names the four devices behind the hub at USB ports 1-4
    with the ids the guest's sysfs gives; neither the hub nor anything on a
    root port is listed."""
    rows = device_list(vm)
    expect(sorted(rows) == [1, 2, 3, 4], "listed ports %s, expected 1-4" % sorted(rows))
    for port, (row, vendor, product, speed, available) in rows.items():
        name, want_vendor, want_product = EXPECTED[port]
        sysfs = "/sys/bus/usb/devices/1-1.%d" % port
        ids = vm.guest_ok("cat %s/idVendor %s/idProduct" % (sysfs, sysfs)).split()
        expect([int(i, 16) for i in ids] == [vendor, product],
               "port %d (%s): listed %04x:%04x, sysfs %s" % (port, name, vendor, product, ids))
        expect((vendor, product) == (want_vendor, want_product),
               "port %d: %04x:%04x is not the %s" % (port, vendor, product, name))
        expect(available == 0, "port %d is not available (%d)" % (port, available))
    expect(len(set(r[0] for r in rows.values())) == 4, "rows not distinct: %s" % rows)


@server_check("connect")
def connect(vm):
    """CONNECT to USB port 1 is granted; a second client's CONNECT to the
    same port takes the device over: granted, and the first client is sent
    DEVICE_GONE for it while its connection stays up. PORT_STATUS shows the
    port in use while held and free once every client has left; then it
    can be connected again."""
    row = row_of(vm, 1)
    holder = Background(vm, "hold", row, 1, 30)
    try:
        holder.expect_line("connected")
        expect(in_use(vm, row, 1), "PORT_STATUS does not show the held port in use")
        second = client(vm, "hold", row, 1, 0)
        expect(second == ["connected"], "the second client's CONNECT: %s" % second)
        lines = holder.finish(60)
    finally:
        holder.stop()
    expect(lines == ["connected", "gone row %d port 1" % row, "open"],
           "the first client saw %s (expected DEVICE_GONE on a connection that stays up)" % lines)
    wait_for("port 1 to be free again", lambda: not in_use(vm, row, 1), 15, 0.5)
    expect(client(vm, "hold", row, 1, 0) == ["connected"], "port 1 cannot be connected again")


@server_check("descriptors")
def descriptors(vm):
    """The device and configuration descriptors and the strings the server
    sends for each port (after SET_CONFIGURATION 1) equal the guest's sysfs."""
    rows = device_list(vm)
    for port in sorted(EXPECTED):
        device = "1-1.%d" % port
        got = fields(client(vm, "descriptors", rows[port][0], port))
        raw = vm.guest_descriptors(device)
        expect(got.get("device") == raw[:18].hex(),
               "port %d device descriptor %s, sysfs %s" % (port, got.get("device"), raw[:18].hex()))
        configs = b"".join(bytes.fromhex(got.get("configuration %d" % i, "")) for i in range(raw[17]))
        expect(configs == raw[18:], "port %d configurations %s, sysfs %s" % (port, configs.hex(), raw[18:].hex()))
        for name in ("manufacturer", "product", "serial"):
            code, text = vm.guest("cat /sys/bus/usb/devices/%s/%s" % (device, name))
            if code == 0:
                expect(got.get(name) == text.strip(), "port %d %s %r, sysfs %r" % (port, name, got.get(name), text.strip()))


@server_check("storage-inquiry")
def storage_inquiry(vm):
    """Bulk-only transport through the server to port 3: INQUIRY answers
    vendor "QEMU" and a direct-access device; TEST UNIT READY passes;
    READ CAPACITY gives 131072 blocks of 512 bytes (64 MiB)."""
    got = fields(client(vm, "storage", row_of(vm, 3), 3, STICK_PATTERN_SECTORS + random.randrange(1000)))
    inquiry = bytes.fromhex(got["inquiry"])
    expect(len(inquiry) == 36 and inquiry[0] & 0x1F == 0, "not a direct-access device: %s" % inquiry.hex())
    expect(inquiry[8:16].rstrip() == b"QEMU", "INQUIRY vendor %r" % inquiry[8:16])
    expect("test-unit-ready" in got, "TEST UNIT READY did not pass")
    expect(got["capacity"] == "%d 512" % (STICK_SIZE // 512), "READ CAPACITY gave %s" % got["capacity"])


@server_check("storage-read-write")
def storage_read_write(vm):
    """READ(10) of sectors 0-7 returns vmharness.stick_sector(0..7); WRITE(10)
    of a random sector beyond the pattern area, then READ(10) of it, gives
    the written bytes back, and the image vm.stick_image() holds them."""
    sector = STICK_PATTERN_SECTORS + random.randrange(STICK_SIZE // 512 - STICK_PATTERN_SECTORS)
    got = fields(client(vm, "storage", row_of(vm, 3), 3, sector))
    expect(bytes.fromhex(got["read 0"]) == b"".join(stick_sector(n) for n in range(8)),
           "sectors 0-7 differ from the image's pattern")
    written = bytes.fromhex(got["wrote %d" % sector])
    expect(bytes.fromhex(got["read %d" % sector]) == written, "sector %d read back differs from what was written" % sector)
    with open(vm.stick_image(), "rb") as f:
        f.seek(sector * 512)
        expect(f.read(512) == written, "the image does not hold the written sector %d" % sector)


def usbfs_mappings(vm, node):
    """Lines of the program's /proc/<pid>/maps that map the usbfs node."""
    pid = vm.guest_ok("pidof usbdevsrv").split()[0]
    return [line for line in vm.guest_ok("cat /proc/%s/maps" % pid).splitlines() if line.endswith(node)]


@server_check("storage-read-mapped")
def storage_read_mapped(vm):
    """Reading the whole stick through the server with 1 MiB commands gives
    the bytes of the image the guest's own dd reads, and it moves through
    transfer buffers mapped from usbfs: while the client still holds the
    stick, the program's /proc/<pid>/maps maps the stick's node. Once the
    client has gone nothing maps it any more."""
    device = "/sys/bus/usb/devices/1-1.3"
    busnum, devnum = vm.guest_ok("cat %s/busnum %s/devnum" % (device, device)).split()
    node = "/dev/bus/usb/%03d/%03d" % (int(busnum), int(devnum))
    reader = Background(vm, "storage-digest", row_of(vm, 3), 3, STICK_SIZE >> 20, 1024, 120)
    try:
        lines = [reader.process.stdout.readline().strip() for _ in range(3)]
        expect(lines[0].startswith("read %d bytes" % STICK_SIZE) and lines[2] == "holding",
               "vm_usbcheck storage-digest said %s (%s)" % (lines, "" if reader.process.poll() is None
                                                             else reader.process.stderr.read()))
        digest = hashlib.sha256()
        with open(vm.stick_image(), "rb") as f:
            digest.update(f.read(STICK_SIZE))
        expect(lines[1] == "sha256 " + digest.hexdigest(), "the bytes read differ from the stick's image")
        mapped = usbfs_mappings(vm, node)
        expect(mapped, "no mapping of %s in the program's maps while the stick is held" % node)
    finally:
        reader.stop()
    wait_for("the mappings of %s to go with the client" % node, lambda: not usbfs_mappings(vm, node), 30, 0.5)


@server_check("interrupt-in")
def interrupt_in(vm):
    """An interrupt IN transfer on the keyboard's endpoint 0x81 (port 1)
    waits; vm.press_keys(["a"]) completes it with a boot report holding
    usage 0x04, and the release with an empty report."""
    reader = Background(vm, "interrupt", row_of(vm, 1), 1, 0x81, 8, 2)
    try:
        reader.expect_line("waiting")
        time.sleep(1)
        expect(reader.process.poll() is None, "the interrupt transfer completed before any key")
        vm.press_keys(["a"])
        lines = reader.finish(60)
    finally:
        reader.stop()
    reports = [bytes.fromhex(line.split()[1]) for line in lines if line.startswith("report ")]
    expect(len(reports) == 2, "reports: %s" % lines)
    expect(len(reports[0]) == 8 and reports[0][2] == 0x04, "press report %s lacks usage 0x04" % reports[0].hex())
    expect(reports[1] == bytes(8), "release report %s is not empty" % reports[1].hex())


@server_check("unplug-gone")
def unplug_gone(vm):
    """While a client holds the tablet (port 2), vm.unplug("tablet") makes
    the server send DEVICE_GONE for its row and port; the port leaves the
    list and a CONNECT to the old row fails with 19 (no device). The row
    stays removed for 100 ticks and a later rescan frees it, so the tablet
    plugged back after that gets the lowest free row again (its old one
    unless a lower one is free)."""
    row = row_of(vm, 2)
    holder = Background(vm, "hold", row, 2, 60)
    unplugged = False
    try:
        holder.expect_line("connected")
        vm.unplug("tablet")
        unplugged = True
        lines = holder.finish(60)
    except Exception:
        if unplugged:
            vm.plug("tablet")
        raise
    finally:
        holder.stop()
    try:
        expect(lines[:2] == ["connected", "gone row %d port 2" % row],
               "the holder saw %s (expected DEVICE_GONE for row %d port 2)" % (lines, row))
        # Each DEVICE_LIST rescans: the one that no longer lists port 2 is
        # the one that marked the row removed (or came after it).
        wait_for("port 2 to leave the device list", lambda: 2 not in device_list(vm), 7, 0.5)
        stale = client(vm, "hold", row, 2, 0, check=False)
        expect(stale.returncode != 0 and "connect: status 3 error 19" in stale.stderr,
               "CONNECT to the removed row answered %s%s (expected FAILED/19)" % (stale.stdout, stale.stderr))
        # The removed row's quarantine is 100 ticks (1 s); plugging in after
        # it lets the next rescan free the row before placing the device.
        time.sleep(2.0)
    finally:
        vm.plug("tablet")
    def listed_again():
        rows = device_list(vm)
        return rows if 2 in rows else None
    rows = wait_for("the tablet back at port 2", listed_again, 30, 0.5)
    expect(rows[2][1:3] == EXPECTED[2][1:], "port 2 came back as %04x:%04x" % rows[2][1:3])
    taken = set(r[0] for p, r in rows.items() if p != 2)
    lowest_free = min(set(range(len(taken) + 2)) - taken)
    expect(rows[2][0] == lowest_free,
           "the tablet came back in row %d, not in row %d (its old row %d freed)" % (rows[2][0], lowest_free, row))
