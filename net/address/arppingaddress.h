// Which IPv4 address a device without a configured address may take from
// a packet addressed to it ("ArpPing", the SLP agent).
#ifndef NET_ADDRESS_ARPPINGADDRESS_H
#define NET_ADDRESS_ARPPINGADDRESS_H

#include <cstddef>
#include <cstdint>

// 1 for an address a host may use as its own: not 0.x, 127.x, multicast
// or 240 and above, not link-local (169.254/16), and not ending in .255.
int isAssignableIp4Address(uint32_t networkOrderWord);

// The packet type of a frame that was sent to this host's own MAC
// (PACKET_HOST of the link-layer socket address).
constexpr int kPacketToThisHost = 0;

// Looks at one IPv4 packet (from its IPv4 header on) received on a
// link-layer socket with its packet type. 1 and *target (network order)
// when it is an ICMP echo request sent to this host's MAC whose destination
// address may be taken (isAssignableIp4Address); else 0. Reads nothing
// past length.
int echoRequestTarget(const uint8_t* packet, size_t length, int packetType, uint32_t* target);

#endif
