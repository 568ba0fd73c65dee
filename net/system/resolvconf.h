// The system resolver's file "/etc/resolv.conf", written from `dns`,
// `dns_domain`, `dns_primary`, `dns_secondary` and `ip_gate`.
#ifndef NET_SYSTEM_RESOLVCONF_H
#define NET_SYSTEM_RESOLVCONF_H

#include <string>

// The file's text for the current parameters.
std::string resolvConfText();

// Rewrites the file in place (a bind mount over it stays valid); 0 when
// it cannot be opened (the old file stays), else 1.
int writeResolvConf();

// Makes the resolver library read the file again (res_init).
void reloadResolverConfig();

#endif
