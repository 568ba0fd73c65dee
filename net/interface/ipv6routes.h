// The IPv6 routes of an interface as the IPv6 page lists them, read from
// the kernel's route table ("/proc/net/ipv6_route" of the process's own
// network namespace).
#ifndef NET_INTERFACE_IPV6ROUTES_H
#define NET_INTERFACE_IPV6ROUTES_H

#include <string>
#include <vector>

struct Ipv6RouteList {
  // One text per up route of the interface: "<destination>/<length>
  // </td><td> <next hop>", in table order.
  std::vector<std::string> rows;
  // False when a malformed line ended the list early: the page then shows
  // the rows read so far without a count.
  bool complete = false;
};

// Reads the route table file at path (null: the kernel's) for the routes
// of interfaceName that are up.
Ipv6RouteList listIpv6Routes(const char* interfaceName, const char* path = nullptr);

#endif
