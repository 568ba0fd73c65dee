#!/usr/bin/env python3
"""Runs shell commands in the appliance VM through its command channel.

The guest's init serves the second serial port, which vm/boot connects to
RUN/cmd.sock: one line "<id> <seconds> <command>" in, then "@@BEGIN <id>",
the output (standard output and error together) and "@@END <id> <code>".
One command at a time: callers take RUN/cmd.lock.

As a program:
    vm/guest.py RUN 'ls /sys/bus/usb/devices'      [--timeout SECONDS]
prints the output and exits with the command's exit code.
As a module: Guest(run_dir).run(command, timeout) -> (code, output).
"""
import fcntl
import os
import secrets
import socket
import sys
import time


class GuestError(Exception):
    pass


class Guest:
    def __init__(self, run_dir):
        self.run_dir = run_dir
        self.socket_path = os.path.join(run_dir, "cmd.sock")
        self.lock_path = os.path.join(run_dir, "cmd.lock")

    def run(self, command, timeout=60):
        """(exit code, output) of one command; GuestError when no answer
        comes within timeout plus a margin. The guest kills the command
        after timeout seconds (exit code 137)."""
        if "\n" in command:
            raise GuestError("one line per command")
        token = secrets.token_hex(6)
        limit = max(1, int(timeout))
        with open(self.lock_path, "w") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            try:
                sock.settimeout(5)
                sock.connect(self.socket_path)
                sock.sendall(("%s %d %s\n" % (token, limit, command)).encode())
                return self._collect(sock, token, time.monotonic() + limit + 15)
            except OSError as error:
                raise GuestError("command channel: %s" % error) from error
            finally:
                sock.close()

    @staticmethod
    def _collect(sock, token, deadline):
        begin = ("@@BEGIN %s\n" % token).encode()
        end = ("@@END %s " % token).encode()
        data = b""
        while True:
            start = data.find(begin)
            if start >= 0:
                stop = data.find(end, start)
                if stop >= 0 and data.find(b"\n", stop) >= 0:
                    tail = data[stop + len(end):data.find(b"\n", stop)]
                    output = data[start + len(begin):stop]
                    return int(tail), output.decode(errors="replace")
            left = deadline - time.monotonic()
            if left <= 0:
                raise GuestError("no answer to command %s in time" % token)
            sock.settimeout(left)
            chunk = sock.recv(65536)
            if not chunk:
                raise GuestError("command channel closed")
            data += chunk


def main():
    args = sys.argv[1:]
    timeout = 60
    if "--timeout" in args:
        i = args.index("--timeout")
        timeout = int(args[i + 1])
        del args[i:i + 2]
    if len(args) != 2:
        sys.exit(__doc__)
    try:
        code, output = Guest(args[0]).run(args[1], timeout)
    except GuestError as error:
        sys.exit("guest: %s" % error)
    sys.stdout.write(output)
    sys.exit(code)


if __name__ == "__main__":
    main()
