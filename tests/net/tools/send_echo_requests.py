#!/usr/bin/python3
# Sends ICMP echo requests as raw Ethernet frames:
#   send_echo_requests.py IFACE SOURCE_MAC DEST_MAC,DEST_IP[,options] ...
# "options" adds four NOP options to the IPv4 header (header length 6 words).
import sys

from scapy.all import ICMP, IP, Ether, IPOption_NOP, sendp

iface, source_mac = sys.argv[1], sys.argv[2]
frames = []
for spec in sys.argv[3:]:
    parts = spec.split(",")
    options = [IPOption_NOP()] * 4 if len(parts) > 2 and parts[2] == "options" else []
    packet = IP(src="192.168.1.2", dst=parts[1], options=options) / ICMP(type=8, id=7, seq=1)
    frames.append(Ether(src=source_mac, dst=parts[0]) / packet)
sendp(frames, iface=iface, verbose=False)
