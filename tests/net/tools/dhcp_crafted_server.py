#!/usr/bin/python3
# A DHCP server for what ordinary servers never send: broken replies,
# overrunning or odd-length options, disordered lease timers.
#   dhcp_crafted_server.py IFACE MODE LOG
# Every request seen is logged as "<type> <ciaddr> <requested address>
# <clean|options>" (clean: not one option byte set; type 0 for BOOTP);
# "ready" once the capture runs. Modes:
#   silent           answers nothing
#   bad-replies      each DISCOVER gets five broken offers (239 bytes, wrong
#                    cookie, op, chaddr, xid) for .61 to .65, then a good
#                    one for .50; every REQUEST is ACKed
#   options-4        the ACK carries option 6 of length 4, option 12 with
#                    CR LF and option 15 running past the datagram
#   options-5        the same with option 6 of length 5
#   t1-above-t2      lease 3600 s, T1 3000 s, T2 2000 s; every REQUEST ACKed
#   t2-above-lease   lease 3600 s, T1 600 s, T2 4000 s; only the first two
#                    REQUESTs (the exchange and the renewal after it) ACKed
import struct
import sys

from scapy.all import IP, UDP, Ether, Raw, get_if_hwaddr, sendp, sniff

iface, mode, log_path = sys.argv[1], sys.argv[2], sys.argv[3]
log = open(log_path, "a", buffering=1)
server = bytes([10, 77, 0, 1])
cookie = bytes([99, 130, 83, 99])
requests_acked = 0


def ip(last):
    return bytes([10, 77, 0, last])


def options_of(payload):
    found, at = {}, 240
    while at + 1 < len(payload) and payload[at] != 255:
        if payload[at] == 0:
            at += 1
            continue
        length = payload[at + 1]
        found[payload[at]] = payload[at + 2:at + 2 + length]
        at += 2 + length
    return found


def reply(request, yiaddr, options, op=2, magic=cookie, xid=None, chaddr=None, cut=None):
    body = bytearray(240)
    body[0:4] = bytes([op, 1, 6, 0])
    body[4:8] = xid if xid is not None else request[4:8]
    body[10:12] = b"\x80\x00"
    body[16:20] = yiaddr
    body[20:24] = server
    body[28:44] = chaddr if chaddr is not None else request[28:44]
    body[236:240] = magic
    data = bytes(body) + bytes(options)
    if cut is not None:
        data = data[:cut]
    frame = (Ether(dst="ff:ff:ff:ff:ff:ff", src=get_if_hwaddr(iface)) /
             IP(src="10.77.0.1", dst="255.255.255.255") / UDP(sport=67, dport=68) / Raw(data))
    sendp(frame, iface=iface, verbose=False)


def standard(kind, lease=3600, t1=None, t2=None):
    opts = [53, 1, kind, 54, 4] + list(server) + [51, 4] + list(struct.pack(">I", lease))
    if t1 is not None:
        opts += [58, 4] + list(struct.pack(">I", t1))
    if t2 is not None:
        opts += [59, 4] + list(struct.pack(">I", t2))
    return opts + [1, 4, 255, 255, 255, 0, 3, 4] + list(server)


def handle(packet):
    global requests_acked
    payload = bytes(packet[UDP].payload)
    if len(payload) < 240:
        return
    opts = options_of(payload)
    kind = opts.get(53, b"\x00")[0]
    requested = opts.get(50, payload[12:16])
    clean = "clean" if not any(payload[240:]) else "options"
    log.write("%d %s %s %s\n" % (kind, ".".join(map(str, payload[12:16])), ".".join(map(str, requested)), clean))
    if mode == "silent":
        return
    timers = {"t1-above-t2": (3000, 2000), "t2-above-lease": (600, 4000)}.get(mode, (None, None))
    if kind == 1:
        if mode == "bad-replies":
            offer = standard(2) + [255]
            reply(payload, ip(61), offer, cut=239)
            reply(payload, ip(62), offer, magic=bytes([99, 130, 83, 98]))
            reply(payload, ip(63), offer, op=1)
            reply(payload, ip(64), offer, chaddr=bytes(16))
            reply(payload, ip(65), offer, xid=bytes([payload[4] ^ 0xff]) + payload[5:8])
        reply(payload, ip(50), standard(2, 3600, *timers) + [255])
    elif kind == 3:
        if mode == "t2-above-lease" and requests_acked >= 2:
            return
        requests_acked += 1
        ack = standard(5, 3600, *timers)
        if mode.startswith("options-"):
            servers = [10, 77, 0, 53] if mode == "options-4" else [10, 77, 0, 53, 9]
            ack += [6, len(servers)] + servers + [12, 9] + list(b"bad\r\nname")
            ack += [15, 200] + list(b"example.test")  # runs past the end
            reply(payload, requested, ack)
        else:
            reply(payload, requested, ack + [255])


sniff(iface=iface, filter="udp and dst port 67", prn=handle, store=False,
      started_callback=lambda: log.write("ready\n"))
