#!/usr/bin/env python3
"""Runs shell commands in the appliance VM through its command channel.

The guest's init serves the second serial port, which vm/boot connects to
RUN/cmd.sock: one line "@@CMD <id> <seconds> <command>" in, then "@@ACK <id>"
at once and, once the command ended, "@@BEGIN <id>", its output (standard
output and error together) and "@@END <id> <code>". A line that is not
acknowledged is sent again; the guest answers a repeated id from its stored
result without running the command twice. One command at a time: callers
take RUN/cmd.lock.

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


# Seconds to wait for a command's acknowledgement, and how often to send it.
ACK_WAIT = 3
RESENDS = 5


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
        # The leading newline ends whatever half line an earlier, broken
        # exchange left in the guest's input.
        line = ("\n@@CMD %s %d %s\n" % (token, limit, command)).encode()
        with open(self.lock_path, "w") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            try:
                sock.settimeout(5)
                sock.connect(self.socket_path)
                return self._exchange(sock, token, line, time.monotonic() + limit + 15)
            except OSError as error:
                raise GuestError("command channel: %s: %s" % (error, command)) from error
            finally:
                sock.close()

    @staticmethod
    def _exchange(sock, token, line, deadline):
        ack = ("@@ACK %s\n" % token).encode()
        begin = ("@@BEGIN %s\n" % token).encode()
        end = ("@@END %s " % token).encode()
        data = b""
        sends = 0
        next_send = time.monotonic()
        while True:
            start = data.find(begin)
            stop = data.find(end, start) if start >= 0 else -1
            if stop >= 0 and data.find(b"\n", stop) >= 0:
                code = data[stop + len(end):data.find(b"\n", stop)]
                return int(code), data[start + len(begin):stop].decode(errors="replace")
            now = time.monotonic()
            if now >= deadline:
                raise GuestError("no answer to command %s in time" % token)
            if ack not in data and now >= next_send:
                if sends == RESENDS:
                    raise GuestError("command %s not acknowledged" % token)
                sock.sendall(line)
                sends += 1
                next_send = now + ACK_WAIT
            wait = deadline - now if ack in data else min(deadline, next_send) - now
            sock.settimeout(max(wait, 0.01))
            try:
                chunk = sock.recv(65536)
            except socket.timeout:
                continue
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
