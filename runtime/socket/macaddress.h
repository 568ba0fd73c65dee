// Ethernet hardware addresses: six bytes in transmission order.
#ifndef RUNTIME_SOCKET_MACADDRESS_H
#define RUNTIME_SOCKET_MACADDRESS_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

class IpAddress;

struct MacAddress {
    uint8_t bytes[6];
};

// The maker's organisationally unique identifier: the first three bytes of
// makeMakerMac results and of three-part MAC texts.
extern const uint8_t kMakerOui[3];

// Size of a buffer for macText: 17 characters and the terminator.
constexpr std::size_t kMacTextSize = 18;

void copyMacAddress(MacAddress& target, const MacAddress& source);
inline void copyMacBytes(MacAddress& target, const MacAddress& source) { copyMacAddress(target, source); }

// Copies six bytes from the buffer that the holder's first member (a byte
// pointer) points to.
void copyMacFromHolder(MacAddress& target, const void* holder);

// The maker's OUI followed by the three given bytes.
void makeMakerMac(MacAddress& target, uint8_t b4, uint8_t b5, uint8_t b6);

// 01:00:5e followed by the IPv4 group's second octet AND 0x7f, its third and
// its fourth octet.
void multicastMacFor(MacAddress& target, const IpAddress& group);

// Zeroes target, then reads the hardware address of the interface ("eth0"
// for a null name). Stays zero when the interface cannot be asked.
void readInterfaceMac(MacAddress& target, const char* interfaceName);

int macEquals(const MacAddress& a, const MacAddress& b);
int macDiffers(const MacAddress& a, const MacAddress& b);
// 1 when, at the first differing byte (unsigned), a's byte is the greater.
int macGreater(const MacAddress& a, const MacAddress& b);

// Parses "%x:%x:%x:%x:%x:%x" (six parts) or three parts, which follow the
// maker's OUI. Any other count leaves target unchanged. Returns 1 when the
// stored bytes changed, else 0.
int parseMacAddress(MacAddress& target, const char* text);

// Lower-case text "xx:xx:xx:xx:xx:xx" into buffer (at least kMacTextSize
// bytes); returns its length, 17.
int macText(const MacAddress& mac, char* buffer);

// Upper-case text in one static buffer that the next call overwrites.
const char* macTextUpper(const MacAddress& mac);

void printMac(const MacAddress& mac, FILE* file);

#endif
