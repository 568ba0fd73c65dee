// IPv6 switches and address resolution used by the interface set-up.
#ifndef NET_INTERFACE_IPV6SETUP_H
#define NET_INTERFACE_IPV6SETUP_H

struct sockaddr_in6;

// Writes "0" (on) or "1" (off) to the system's IPv6 disable switch.
void setIpv6Enabled(int on);

// getaddrinfo for family AF_INET6; 0 and the socket address on success, -1
// on failure.
int resolveIpv6Address(const char* text, sockaddr_in6* out);

#endif
