// Storing what a DHCP/BOOTP reply says about names and servers into the
// parameters: host name, search domain, name servers and time server.
#ifndef NET_DHCP_DHCPAPPLY_H
#define NET_DHCP_DHCPAPPLY_H

struct DhcpReplyInfo;

// Sets `sys_name`, `dns_domain`, `dns_primary`, `dns_secondary` and
// `ntp_server` from the options the reply holds (a text the store refuses
// leaves the parameter as it was), then commits and saves; the commit's
// CHANGE_* bits.
int storeDhcpReplyOptions(const DhcpReplyInfo& reply);

#endif
