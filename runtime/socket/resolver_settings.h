// Where the resolver reads the parameters `dns` and `ipv6`.
//
// The parameter module installs the two readers at start-up; a null reader
// counts as "off", which is also the state before anything is installed.
#ifndef RUNTIME_SOCKET_RESOLVER_SETTINGS_H
#define RUNTIME_SOCKET_RESOLVER_SETTINGS_H

void setResolverSettingsSource(bool (*dnsOn)(), bool (*ipv6On)());

// The current values as the installed readers give them.
bool resolverDnsOn();
bool resolverIpv6On();

#endif
