"""End-to-end checks of the USB service (TCP port 9200) in the VM.

Disabled until the USB server and its protocol client (tools/) exist: each
check says what it will prove and which harness hooks it uses, and reports
itself skipped. To enable one, set SERVER_READY, pass the client's path to
vmtest.py and write the exchange where the docstring says.

Hooks (vmharness.Vm): host_port("tcp", 9200) for the client's connection;
server_listening() (the guest's own socket table, since QEMU accepts a
forwarded connection even when nothing listens); guest_descriptors(name)
for the descriptors to expect; press_keys(keys) on the emulated keyboard;
unplug(id) / plug(id) through QMP; stick_image() and
vmharness.stick_sector(n) for the mass-storage contents.
"""
import re

from vmharness import Skip

# Set once the program serves port 9200 and tools/ holds the client.
SERVER_READY = False

CHECKS = {}


def server_check(name):
    def register(function):
        def run(vm):
            if not SERVER_READY:
                raise Skip("%s needs the USB server (port 9200) and its protocol client; "
                           "not built yet" % name)
            if not server_listening(vm):
                raise Skip("nothing listens on port 9200 in the guest")
            function(vm)
        CHECKS[name] = run
        return function
    return register


def server_listening(vm):
    return re.search(r"^tcp\s.*:9200\s.*LISTEN", vm.guest_ok("netstat -ltn"), re.M) is not None


@server_check("device-list")
def device_list(vm):
    """DEVICE_LIST names the four devices behind the hub at USB ports 1-4
    (keyboard and tablet 0627:0001, stick 46f4:0001, serial 0403:6001);
    neither the hub nor anything on a root port is listed."""


@server_check("connect")
def connect(vm):
    """CONNECT to USB port 1 is granted; a second client asking for the same
    port while the first holds it is refused; after the first disconnects
    the port is free again."""


@server_check("descriptors")
def descriptors(vm):
    """The device and configuration descriptors the server sends for each
    port equal vm.guest_descriptors("1-1.<port>")."""


@server_check("storage-inquiry")
def storage_inquiry(vm):
    """Bulk-only transport through the server to port 3: INQUIRY answers
    vendor "QEMU" and a direct-access device; TEST UNIT READY passes;
    READ CAPACITY gives 131072 blocks of 512 bytes (64 MiB)."""


@server_check("storage-read-write")
def storage_read_write(vm):
    """READ(10) of sectors 0-7 returns vmharness.stick_sector(0..7); WRITE(10)
    of a random sector beyond the pattern area, then READ(10) of it, gives
    the written bytes back, and the image vm.stick_image() holds them."""


@server_check("interrupt-in")
def interrupt_in(vm):
    """An interrupt IN transfer on the keyboard's endpoint 0x81 (port 1)
    waits; vm.press_keys(["a"]) completes it with a boot report holding
    usage 0x04, and the release with an empty report."""


@server_check("unplug-gone")
def unplug_gone(vm):
    """While a client holds the tablet (port 2), vm.unplug("tablet") makes
    the server send DEVICE_GONE and end the connection; vm.plug("tablet")
    lists it again."""
