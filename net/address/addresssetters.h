// The address setters every address source uses (start-up, DHCP/BOOTP,
// "ArpPing", SLP, WLAN, web pages): each sets one IPv4 value on an
// interface and, with store, keeps it in its parameter (`ip_addr`,
// `ip_mask`, `ip_gate`), recording who set the address in `ip_setby`.
// IPv6 values are refused (0).
#ifndef NET_ADDRESS_ADDRESSSETTERS_H
#define NET_ADDRESS_ADDRESSSETTERS_H

class IpAddress;
class NetInterface;

// Sets the address, then the stored netmask, or the classful one for a
// link-local address or when no netmask is stored. source: a row key of
// `ip_setby` ("dhcp", "ping", ...) or null.
int setAsInterfaceAddress(const IpAddress& address, NetInterface& nif, const char* source, int store);
// 0 for an implausible mask (which is still stored).
int setAsNetmask(const IpAddress& mask, NetInterface& nif, int store);
// Replaces the interface's default route for a routable gateway, or adds
// the on-link default route for 0.0.0.0; the result of adding the route.
int setAsDefaultGateway(const IpAddress& gateway, NetInterface& nif, int store);

#endif
