// Source address patterns of the packet filter: up to four decimal octets
// separated by points, where a '*' marks the missing octets as wildcards
// ("192.168.1.*", "10.*", "*").
#ifndef NET_FILTER_IPFILTERPATTERN_H
#define NET_FILTER_IPFILTERPATTERN_H

#include <cstddef>
#include <cstdint>

// Size of a description buffer that always suffices.
constexpr size_t kIpFilterDescriptionSize = 64;

// Parses pattern into address and mask (both network order). A usable
// pattern has four octets, or fewer with a '*'; every octet lies in 0..255.
// A lone '*' matches every source (0.0.0.0/0). With a description buffer
// (kIpFilterDescriptionSize bytes) writes " IpAddr:<address> IpMask:<mask>",
// each address as octets "%d%c" with a blank after the last one
// (" IpAddr:10.1.0.0  IpMask:255.255.0.0 "). 1 when the
// pattern is usable, else 0 (address and mask then 0).
int parseIpFilterPattern(const char* pattern, uint32_t* address, uint32_t* mask, char* description);

#endif
