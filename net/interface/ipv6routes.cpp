#include "net/interface/ipv6routes.h"

#include <arpa/inet.h>
#include <net/route.h>

#include <cctype>
#include <cstdio>
#include <cstring>

namespace {

constexpr char kRouteTable[] = "/proc/net/ipv6_route";

// 32 hexadecimal digits into the canonical text form; false when the
// field is anything else.
bool hexToIpv6Text(const char* hex, char* out, size_t size) {
  if (std::strlen(hex) != 32) return false;
  uint8_t bytes[16];
  for (int i = 0; i < 16; ++i) {
    unsigned value = 0;
    for (int k = 0; k < 2; ++k) {
      const char c = hex[2 * i + k];
      if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
      value = value * 16 + static_cast<unsigned>(std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : (std::tolower(c) - 'a' + 10));
    }
    bytes[i] = static_cast<uint8_t>(value);
  }
  return inet_ntop(AF_INET6, bytes, out, static_cast<socklen_t>(size)) != nullptr;
}

}  // namespace

Ipv6RouteList listIpv6Routes(const char* interfaceName, const char* path) {
  Ipv6RouteList list;
  // The table of the process's own namespace: never mapped.
  FILE* file = std::fopen(path ? path : kRouteTable, "r");
  if (!file) return list;
  char line[512];
  while (std::fgets(line, sizeof line, file)) {
    char destination[40], source[40], nextHop[40], device[32];
    unsigned destinationLength, sourceLength, metric, references, uses, flags;
    if (std::sscanf(line, "%39s %x %39s %x %39s %x %x %x %x %31s", destination, &destinationLength, source,
                    &sourceLength, nextHop, &metric, &references, &uses, &flags, device) != 10) {
      std::fclose(file);
      return list;
    }
    char destinationText[INET6_ADDRSTRLEN], nextHopText[INET6_ADDRSTRLEN];
    if (!hexToIpv6Text(destination, destinationText, sizeof destinationText) ||
        !hexToIpv6Text(nextHop, nextHopText, sizeof nextHopText) || destinationLength > 128) {
      std::fclose(file);
      return list;
    }
    if (!(flags & RTF_UP) || std::strcmp(device, interfaceName) != 0) continue;
    char row[2 * INET6_ADDRSTRLEN + 32];
    std::snprintf(row, sizeof row, "%s/%u </td><td> %s", destinationText, destinationLength, nextHopText);
    list.rows.push_back(row);
  }
  list.complete = true;
  std::fclose(file);
  return list;
}
