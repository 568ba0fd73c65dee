"""The appliance VM as the end-to-end tests see it: one VM booted in the
background by the fixture's start step, found again by every check through
a state file, and ended by the stop step.

Hooks for the checks: guest commands, the console, QMP (plug, unplug, keys,
link), the guest's forwarded ports and the mass-storage stick's image.
"""
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

BANNER = "#### pel Master running on eth0 ip:"
CHANNEL_READY = "VM: command channel ready"
GUEST_ADDRESS = "10.0.2.15"

# The emulated USB devices behind the hub on root port 1: QMP id, hub port,
# device_add arguments (without id and port).
USB_DEVICES = {
    "kbd": (1, {"driver": "usb-kbd"}),
    "tablet": (2, {"driver": "usb-tablet"}),
    "storage": (3, {"driver": "usb-storage", "drive": "stick"}),
    "serial": (4, {"driver": "usb-serial", "chardev": "userial", "always-plugged": True}),
}

STICK_SIZE = 64 << 20
STICK_PATTERN_SECTORS = 2048  # the first MiB: "VMSTICK sector NNNNNNNN" per sector


class Fail(Exception):
    pass


class Skip(Exception):
    pass


def wait_for(what, probe, timeout, interval=0.5):
    """Calls probe until it returns something true; Fail after timeout."""
    deadline = time.monotonic() + timeout
    while True:
        value = probe()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise Fail("timed out after %.0f s waiting for %s" % (timeout, what))
        time.sleep(interval)


def stick_sector(n):
    """The 512 bytes the stick image holds at sector n (pattern area)."""
    head = ("VMSTICK sector %08d\n" % n).encode()
    return head + bytes(512 - len(head))


class Vm:
    def __init__(self, state_dir, source_dir=None):
        self.state_dir = os.path.abspath(state_dir)
        self.source_dir = source_dir
        self.state_file = os.path.join(self.state_dir, "state.json")
        self.state = {}
        if os.path.exists(self.state_file):
            with open(self.state_file) as f:
                self.state = json.load(f)

    # --- the VM's life -------------------------------------------------

    def start(self, program, tools, params, files=(), boot_timeout=240):
        if os.geteuid() != 0:
            raise Skip("the VM's network namespace needs root")
        for needed in ("qemu-system-x86_64", "socat", "cpio"):
            if not shutil.which(needed):
                raise Skip("%s is not installed (scripts/install-deps vm)" % needed)
        self.stop(quiet=True)
        os.makedirs(self.state_dir, exist_ok=True)
        boot_dir = os.path.join(self.state_dir, "boot")
        build = [os.path.join(self.source_dir, "vm", "build-initramfs"), "--program", program]
        for tool in tools + [shutil.which("socat")]:
            build += ["--tool", tool]
        for p in params:
            build += ["--params", p]
        for f in files:  # SRC=DEST
            build += ["--file", f]
        subprocess.run(build + [boot_dir], check=True, stdout=sys.stdout, stderr=sys.stderr)

        run = tempfile.mkdtemp(prefix="vm-")
        self._make_stick(os.path.join(run, "stick.img"))
        offset = self._free_port_offset()
        log = open(os.path.join(self.state_dir, "boot.log"), "w")
        started = time.monotonic()
        boot = subprocess.Popen(
            [os.path.join(self.source_dir, "vm", "boot"), "--dir", boot_dir, "--run", run,
             "--port-offset", str(offset), "--timeout", "1800"],
            stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT,
            start_new_session=True)
        log.close()
        self.state = {"run": run, "pid": boot.pid, "offset": offset}
        self._save()

        def ready():
            if boot.poll() is not None:
                raise Fail("vm/boot ended early (%s)\n%s" % (boot.returncode, self.boot_log()))
            text = self.console()
            return CHANNEL_READY in text and BANNER in text
        try:
            wait_for("the program's banner on the console", ready, boot_timeout, 0.2)
        except Fail as failure:
            console = self.console()[-4000:]
            self.stop(quiet=True)
            raise Fail("%s\n--- console ---\n%s" % (failure, console))
        self.state["boot_seconds"] = round(time.monotonic() - started, 1)
        self._save()
        code, _ = self.guest("true", 30)
        if code != 0:
            raise Fail("the guest's command channel does not answer")
        return self.state["boot_seconds"]

    def stop(self, quiet=False):
        pid = self.state.get("pid")
        run = self.state.get("run")
        if pid and self._boot_alive(pid):
            try:
                from qmp import Qmp
                with Qmp(os.path.join(run, "qmp.sock"), timeout=5) as qmp:
                    qmp.command("quit")
            except Exception:  # QEMU already gone or not answering: the group signal follows
                pass
            if not self._wait_gone(pid, 30):
                try:
                    os.killpg(pid, signal.SIGTERM)
                except ProcessLookupError:
                    pass
                self._wait_gone(pid, 10)
        if run and os.path.isdir(run):
            console = os.path.join(run, "console.log")
            if os.path.exists(console):
                shutil.copy(console, os.path.join(self.state_dir, "console.log"))
            shutil.rmtree(run, ignore_errors=True)
        if os.path.exists(self.state_file):
            os.remove(self.state_file)
        self.state = {}
        if not quiet:
            print("vm: stopped; console kept in %s" % os.path.join(self.state_dir, "console.log"))

    def mark_skipped(self, reason):
        """Tells the checks that the start step was skipped, and why."""
        os.makedirs(self.state_dir, exist_ok=True)
        self.state = {"skipped": reason}
        self._save()

    def require(self):
        """Fails unless the fixture's VM is running; skips when its start
        was skipped."""
        if "skipped" in self.state:
            raise Skip(self.state["skipped"])
        pid = self.state.get("pid")
        if not pid or not self._boot_alive(pid):
            raise Fail("the VM is not running (the vm.boot step failed or was not run)")

    # --- hooks for the checks ------------------------------------------

    @property
    def run_dir(self):
        return self.state["run"]

    def console(self):
        path = os.path.join(self.state.get("run", ""), "console.log")
        try:
            with open(path, errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def boot_log(self):
        try:
            with open(os.path.join(self.state_dir, "boot.log"), errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def guest(self, command, timeout=60):
        from guest import Guest, GuestError
        try:
            return Guest(self.run_dir).run(command, timeout)
        except GuestError as error:
            raise Fail(str(error))

    def guest_ok(self, command, timeout=60):
        """The output of a guest command that must succeed."""
        code, output = self.guest(command, timeout)
        if code != 0:
            raise Fail("guest command failed (%d): %s\n%s" % (code, command, output))
        return output

    def qmp(self):
        from qmp import Qmp
        return Qmp(os.path.join(self.run_dir, "qmp.sock"))

    def unplug(self, device_id, timeout=20):
        """Removes a USB device and waits for QEMU's DEVICE_DELETED."""
        with self.qmp() as qmp:
            qmp.command("device_del", id=device_id)
            if qmp.wait_event("DEVICE_DELETED", timeout) is None:
                raise Fail("QEMU did not delete %s" % device_id)

    def plug(self, device_id):
        """Plugs a USB device back at its own hub port. QEMU deletes a
        device's drive together with the device, so the stick's drive is
        added again first."""
        port, arguments = USB_DEVICES[device_id]
        with self.qmp() as qmp:
            drive = arguments.get("drive")
            if drive is not None and not any(b.get("device") == drive for b in qmp.command("query-block")):
                qmp.hmp("drive_add 0 if=none,id=%s,format=raw,file=%s" % (drive, self.stick_image()))
            qmp.command("device_add", dict(arguments, id=device_id, bus="xhci.0", port="1.%d" % port))

    def press_keys(self, keys):
        """Key presses and releases, by QKeyCode name ("a", "ret", ...), on
        the keyboard that takes input: the USB keyboard, registered after
        the PC's own. (input-send-event cannot name the USB keyboard: it
        is bound to no console.)"""
        with self.qmp() as qmp:
            for key in keys:
                qmp.command("send-key", keys=[{"type": "qcode", "data": key}])

    def set_link(self, up):
        with self.qmp() as qmp:
            qmp.command("set_link", name="nic", up=up)

    def host_port(self, proto, guest_port):
        """The 127.0.0.1 port that reaches the guest's port."""
        with open(os.path.join(self.run_dir, "ports")) as f:
            for line in f:
                p, g, h = line.split()
                if p == proto and int(g) == guest_port:
                    return int(h)
        raise Fail("guest port %s/%d is not forwarded" % (proto, guest_port))

    def forwards(self):
        with open(os.path.join(self.run_dir, "ports")) as f:
            return [(p, int(g), int(h)) for p, g, h in (line.split() for line in f if line.strip())]

    def exchange_tcp(self, guest_port, payload, timeout=10):
        """Connects to a forwarded guest port, sends payload, returns what
        comes back until the peer closes. A connect alone proves nothing:
        QEMU accepts forwarded connections even when nothing listens."""
        port = self.host_port("tcp", guest_port)
        with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
            s.sendall(payload)
            s.shutdown(socket.SHUT_WR)
            data = b""
            while True:
                chunk = s.recv(4096)
                if not chunk:
                    return data
                data += chunk

    def exchange_udp(self, guest_port, payload, timeout=10):
        port = self.host_port("udp", guest_port)
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.settimeout(timeout)
            s.sendto(payload, ("127.0.0.1", port))
            return s.recvfrom(65536)[0]

    def guest_descriptors(self, device):
        """The raw descriptors the guest's sysfs holds for a USB device
        ("1-1.3"): the device descriptor, then every configuration."""
        text = self.guest_ok("od -An -v -tx1 /sys/bus/usb/devices/%s/descriptors" % device)
        return bytes(int(b, 16) for b in text.split())

    def stick_image(self):
        return os.path.join(self.run_dir, "stick.img")

    # --- internals -------------------------------------------------------

    def _save(self):
        with open(self.state_file, "w") as f:
            json.dump(self.state, f)

    @staticmethod
    def _boot_alive(pid):
        try:
            with open("/proc/%d/cmdline" % pid, "rb") as f:
                return b"vm/boot" in f.read()
        except OSError:
            return False

    def _wait_gone(self, pid, timeout):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            try:
                done, _ = os.waitpid(pid, os.WNOHANG)  # our own child in the start step
                if done:
                    return True
            except ChildProcessError:
                pass
            if not self._boot_alive(pid):
                return True
            time.sleep(0.2)
        return False

    @staticmethod
    def _make_stick(path):
        with open(path, "wb") as f:
            for n in range(STICK_PATTERN_SECTORS):
                f.write(stick_sector(n))
            f.truncate(STICK_SIZE)

    @staticmethod
    def _free_port_offset():
        """An offset at which every forwarded port is free on 127.0.0.1."""
        guest_ports = (9200, 9443, 80, 443, 161)
        for offset in range(20000, 40000, 1000):
            try:
                sockets = []
                for g in guest_ports:
                    for kind in (socket.SOCK_STREAM, socket.SOCK_DGRAM):
                        s = socket.socket(socket.AF_INET, kind)
                        sockets.append(s)
                        s.bind(("127.0.0.1", g + offset))
                return offset
            except OSError:
                continue
            finally:
                for s in sockets:
                    s.close()
        raise Fail("no free port range for the VM's forwards")
