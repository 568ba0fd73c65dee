#!/usr/bin/python3
"""mDNS peer of the responder tests, run inside the peer namespace.

  mdns_peer.py browse <address> <seconds> <type>...
      browses with python3-zeroconf and prints one line per resolved
      instance: name|port|server|addresses
  mdns_peer.py respond <address> <seconds> <instance> <type> <host> <port>
      holds a service instance as a second responder for that long
  mdns_peer.py listen <address> <seconds>
      prints "name type ttl" for every answer record received on the group
"""
import socket
import struct
import sys
import time


def browse(address, seconds, types):
    from zeroconf import ServiceBrowser, Zeroconf
    zc = Zeroconf(interfaces=[address])
    found = set()

    class Listener:
        def add_service(self, zc_, type_, name):
            found.add((type_, name))

        def update_service(self, zc_, type_, name):
            found.add((type_, name))

        def remove_service(self, zc_, type_, name):
            pass

    browsers = [ServiceBrowser(zc, t, Listener()) for t in types]
    end = time.monotonic() + seconds
    printed = set()
    while time.monotonic() < end and len(printed) < len(types):
        for type_, name in sorted(found):
            if name in printed:
                continue
            info = zc.get_service_info(type_, name, timeout=2000)
            if info is None:
                continue
            addresses = ",".join(info.parsed_addresses())
            print(f"{name}|{info.port}|{info.server}|{addresses}", flush=True)
            printed.add(name)
        time.sleep(0.1)
    for b in browsers:
        b.cancel()
    zc.close()


def respond(address, seconds, instance, type_, host, port):
    from zeroconf import ServiceInfo, Zeroconf
    zc = Zeroconf(interfaces=[address])
    info = ServiceInfo(type_, f"{instance}.{type_}", port=int(port), server=host,
                       addresses=[socket.inet_aton(address)])
    zc.register_service(info, allow_name_change=False)
    print("registered", flush=True)
    time.sleep(seconds)
    zc.close()


def listen(address, seconds):
    from scapy.layers.dns import DNS
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind(("224.0.0.251", 5353))
    s.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP,
                 struct.pack("4s4s", socket.inet_aton("224.0.0.251"), socket.inet_aton(address)))
    print("listening", flush=True)
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        s.settimeout(max(0.05, end - time.monotonic()))
        try:
            data, _ = s.recvfrom(9000)
        except socket.timeout:
            break
        dns = DNS(data)
        for i in range(dns.ancount):
            rr = dns.an[i]
            print(f"{rr.rrname.decode()} {rr.type} {rr.ttl}", flush=True)


def main():
    mode, address, seconds = sys.argv[1], sys.argv[2], float(sys.argv[3])
    if mode == "browse":
        browse(address, seconds, sys.argv[4:])
    elif mode == "respond":
        respond(address, seconds, *sys.argv[4:8])
    elif mode == "listen":
        listen(address, seconds)


if __name__ == "__main__":
    main()
