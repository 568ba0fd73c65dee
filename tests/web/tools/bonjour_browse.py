#!/usr/bin/python3
"""Browses a DNS-SD service type with python3-zeroconf until an instance
whose name starts with a given text is resolved, as a client on the LAN does.

  bonjour_browse.py <interface address> <seconds> <type> <instance start>

Prints "name|port|server|addresses" for the instance found and exits 0;
exits 1 when none is resolved within the time. Other instances (other
devices on the same multicast group) are left aside.
"""
import sys
import threading
import time

from zeroconf import ServiceBrowser, Zeroconf


def main():
    address, seconds, type_, start = sys.argv[1], float(sys.argv[2]), sys.argv[3], sys.argv[4]
    zc = Zeroconf(interfaces=[address])
    seen = set()
    lock = threading.Lock()  # the listener runs on zeroconf's thread

    class Listener:
        def add_service(self, zc_, type__, name):
            with lock:
                seen.add(name)

        def update_service(self, zc_, type__, name):
            self.add_service(zc_, type__, name)

        def remove_service(self, zc_, type__, name):
            with lock:
                seen.discard(name)

    browser = ServiceBrowser(zc, type_, Listener())
    end = time.monotonic() + seconds
    found = None
    try:
        while found is None and time.monotonic() < end:
            with lock:
                names = sorted(seen)
            for name in names:
                if not name.startswith(start):
                    continue
                info = zc.get_service_info(type_, name, timeout=2000)
                if info is not None:
                    found = f"{name}|{info.port}|{info.server}|{','.join(info.parsed_addresses())}"
                    break
            time.sleep(0.1)
    finally:
        browser.cancel()
        zc.close()
    if found is None:
        return 1
    print(found, flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
