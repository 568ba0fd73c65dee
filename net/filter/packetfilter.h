// The packet filter: IPv4 rules in chain "INPUT" of table "filter" that
// accept only configured source addresses (with wildcards) and source MAC
// addresses and drop the rest of a chosen protection level.
//
// Rules are installed once at start-up. A test mode keeps an administrator
// from locking the device away for good: a protection that nobody confirmed
// (`protection_test` still "test" at the next start) is switched off again.
// The chain is emptied before anything is installed, so rules left behind by
// a run that never reached its end do not outlive a restart.
#ifndef NET_FILTER_PACKETFILTER_H
#define NET_FILTER_PACKETFILTER_H

#include <cstdint>

// Empties chain "INPUT": 1 when the table could be opened.
int flushPacketFilter();

// Test-mode logic, then the rules of the parameters: 1 when rules were
// installed, else 0. Empties the chain first in any case.
int applyPacketFilter();

// Appends the final DROP rule of `protection_level` and commits: 1, or 0
// when the table cannot be opened, the level is unknown or the commit fails.
int appendFilterDropRule();

// The rule entries as the kernel takes them (tests and diagnostics). Each
// fills out (zeroed first) and returns the entry's size; out must hold
// kFilterEntryMaxSize bytes. Words and ports as the kernel wants them:
// addresses and mask in network order, ports in host order.
constexpr int kFilterEntryMaxSize = 232;
int buildAddressAcceptEntry(uint8_t* out, uint32_t address, uint32_t mask);
int buildMacAcceptEntry(uint8_t* out, const uint8_t mac[6]);
// level: "protec_zov", "protec_tcp" or "protec_all"; 0 for any other.
int buildDropEntry(uint8_t* out, const char* level, uint16_t port1, uint16_t port2);

#endif
