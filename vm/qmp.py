#!/usr/bin/env python3
"""A small client of QEMU's machine protocol (QMP) on a Unix socket.

As a program:
    vm/qmp.py SOCKET COMMAND [JSON-ARGUMENTS]
    vm/qmp.py RUN/qmp.sock device_del '{"id": "kbd"}'
    vm/qmp.py RUN/qmp.sock device_add '{"driver": "usb-kbd", "id": "kbd", "bus": "xhci.0", "port": "1.1"}'
    vm/qmp.py RUN/qmp.sock hmp 'sendkey a'      (a human monitor command)
prints the command's result as JSON; exit code 1 when QEMU answers an error.

As a module: Qmp(path).command(name, {arguments} or keywords), Qmp.hmp(text),
Qmp.wait_event(name, timeout).
"""
import json
import socket
import sys
import time


class QmpError(Exception):
    pass


class Qmp:
    def __init__(self, path, timeout=10.0):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.settimeout(timeout)
        self.sock.connect(path)
        self.buffer = b""
        self.events = []
        greeting = self._read()
        if "QMP" not in greeting:
            raise QmpError("no QMP greeting: %r" % greeting)
        self.command("qmp_capabilities")

    def close(self):
        self.sock.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def _read(self, deadline=None):
        while b"\n" not in self.buffer:
            if deadline is not None:
                left = deadline - time.monotonic()
                if left <= 0:
                    raise socket.timeout("QMP: nothing in time")
                self.sock.settimeout(left)
            data = self.sock.recv(65536)
            if not data:
                raise QmpError("QMP connection closed")
            self.buffer += data
        line, self.buffer = self.buffer.split(b"\n", 1)
        return json.loads(line)

    def command(self, execute, arguments=None, **more):
        """Runs one command; its arguments as a dict and/or keywords."""
        arguments = dict(arguments or {}, **more)
        message = {"execute": execute}
        if arguments:
            message["arguments"] = arguments
        self.sock.sendall(json.dumps(message).encode() + b"\n")
        while True:
            reply = self._read()
            if "event" in reply:
                self.events.append(reply)
                continue
            if "error" in reply:
                raise QmpError("%s: %s" % (execute, reply["error"].get("desc", reply["error"])))
            return reply.get("return")

    def hmp(self, text):
        return self.command("human-monitor-command", {"command-line": text})

    def wait_event(self, name, timeout=10.0):
        """The first event of that name, kept or new; None after timeout."""
        deadline = time.monotonic() + timeout
        while True:
            for i, event in enumerate(self.events):
                if event.get("event") == name:
                    return self.events.pop(i)
            try:
                reply = self._read(deadline)
            except socket.timeout:
                return None
            if "event" in reply:
                self.events.append(reply)


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    path, name = sys.argv[1], sys.argv[2]
    try:
        with Qmp(path) as qmp:
            if name == "hmp":
                result = qmp.hmp(" ".join(sys.argv[3:]))
                sys.stdout.write(result)
                return
            arguments = json.loads(sys.argv[3]) if len(sys.argv) > 3 else {}
            result = qmp.command(name, arguments)
    except QmpError as error:
        print(error, file=sys.stderr)
        sys.exit(1)
    print(json.dumps(result, indent=2))


if __name__ == "__main__":
    main()
