// The current DHCP lease, read by the settings pages and moved by the time
// client when it steps the clock. Written only by the "Bootp" task.
#ifndef NET_DHCP_DHCPLEASE_H
#define NET_DHCP_DHCPLEASE_H

#include <atomic>
#include <cstdint>

// Lease length in seconds as granted (0 = infinite or none).
extern std::atomic<int64_t> dhcpLeaseSeconds;
// uptimeCs when the lease was bound; shifted with the task start times
// when the clock is stepped.
extern std::atomic<int64_t> dhcpLeaseStart;

// Of the last reply (network-order words, 0 = none): the offered address
// (yiaddr), the server identifier (siaddr, replaced by option 54) and the
// relay address (giaddr).
extern std::atomic<uint32_t> dhcpOfferedAddress;
extern std::atomic<uint32_t> dhcpServerIdentifier;
extern std::atomic<uint32_t> dhcpRelayAddress;

#endif
