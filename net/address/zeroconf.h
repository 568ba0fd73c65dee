// Link-local (ZeroConf) IPv4 addresses: 169.254.y.x with y and x in 1..253,
// derived from the interface MAC and the previous generated address, so the
// same MAC always gives the same first address and every further call the
// next address of a fixed sequence.
#ifndef NET_ADDRESS_ZEROCONF_H
#define NET_ADDRESS_ZEROCONF_H

#include <cstdint>

class IpAddress;
class NetInterface;

void makeZeroconfAddress(IpAddress& out, NetInterface& nif);

// The same from given MAC bytes and state (the previous address word in
// network order, 0 at first); returns the new address word.
uint32_t nextZeroconfWord(const uint8_t mac[6], uint32_t previousWord);

// The last generated address word (0 before the first).
uint32_t zeroconfState();
void setZeroconfState(uint32_t word);

#endif
