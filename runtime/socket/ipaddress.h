// IPv4 and IPv6 address values.
//
// An IpAddress holds its address in the exact layout of the system's socket
// address structures (sockaddr_in for family 2, sockaddr_in6 for family 10),
// so sockAddr() can be handed to bind, connect and sendto unchanged.
//
//   bytes 0-1   family (host order)
//   bytes 2-3   port (network order)
//   IPv4: bytes 4-7 address (network order), bytes 8-15 zero
//   IPv6: bytes 4-7 flow information, bytes 8-23 address, bytes 24-27 scope id
//
// Address operations never look at the port. Values are plain bytes and may
// be copied freely; the copy operator copies all 28 bytes, assign() only the
// significant ones.
#ifndef RUNTIME_SOCKET_IPADDRESS_H
#define RUNTIME_SOCKET_IPADDRESS_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

struct sockaddr;

class alignas(4) IpAddress {
public:
    static constexpr int kFamilyIp4 = 2;    // AF_INET
    static constexpr int kFamilyIp6 = 10;   // AF_INET6
    static constexpr std::size_t kSize = 28;
    static constexpr std::size_t kIp4Size = 16;   // significant bytes of an IPv4 value
    static constexpr std::size_t kTextSize = 1025;

    // The cleared IPv4 value 0.0.0.0.
    IpAddress() { clear(false); }

    // Zero all 28 bytes and set family 10 (ip6) or 2.
    void clear(bool ip6);

    // Family 2 and the given address; the other bytes stay as they are.
    IpAddress& fromIp4Word(uint32_t networkOrderWord);
    IpAddress& fromIp4Bytes(uint8_t a, uint8_t b, uint8_t c, uint8_t d);

    // Copy the family and then 16 (IPv4) or 28 (IPv6) bytes of the source,
    // port included.
    void assign(const IpAddress& source);
    IpAddress& copyFrom(const IpAddress& source) { assign(source); return *this; }

    // Tests; each returns 1 or 0.
    int isIp6() const;
    int isLinkLocal4() const;       // IPv4 in 169.254.0.0/16
    int isUsableHost() const;       // every non-IPv4 value; IPv4 with last octet 1..254
    int isPlausibleMask() const;    // IPv4 with the lowest bit of the last octet clear
    int isSet() const;              // any address byte non-zero
    int equals(const IpAddress& other) const;   // family and address, not the port
    int differs(const IpAddress& other) const { return !equals(other); }

    // The IPv4 address word as stored (network order); for an IPv4-mapped
    // IPv6 address its last four bytes; otherwise 0.
    uint32_t ip4Word() const;

    // The classful netmask of an IPv4 address; an IPv6 value is refused with
    // a line on standard error and gives the empty IPv4 address.
    void mask(IpAddress& out) const;

    // IPv4: (address AND netmask) OR NOT netmask; IPv6: the empty IPv6 value.
    void broadcastFor(IpAddress& out, const IpAddress& netmask) const;

    // The text form ("-error-" for an unknown family or a failed conversion)
    // into buffer (kTextSize is always enough); returns its length.
    int toText(char* buffer, std::size_t size) const;
    void print(FILE* file) const;

    // Raw field access.
    int family() const;
    void setFamily(int family);
    uint16_t port() const;                 // host order
    void setPort(uint16_t hostOrderPort);
    const uint8_t* ip6Bytes() const { return bytes_ + 8; }   // 16 bytes
    uint8_t* ip6Bytes() { return bytes_ + 8; }
    void setIp6Bytes(const uint8_t* sixteenBytes);
    const uint8_t* rawBytes() const { return bytes_; }
    uint8_t* rawBytes() { return bytes_; }

    // The value as a socket address and the length to pass with it
    // (16 for IPv4, 28 for IPv6).
    const sockaddr* sockAddr() const;
    sockaddr* sockAddr();
    unsigned sockAddrLength() const;

private:
    uint8_t bytes_[kSize];
};

static_assert(sizeof(IpAddress) == IpAddress::kSize, "IpAddress overlays the socket address structures");

// Clear, then convert the text: a text with ':' is IPv6 (family 10), any other
// IPv4 (family 2). A text that does not convert leaves the zero address of
// that family; a null text gives the empty IPv4 address. Returns 1 when the
// text was a valid address of its family, else 0 (most callers ignore it).
int parseIpAddress(IpAddress& out, const char* text);

// The same conversion without clearing first.
int parseIpAddressFamily(IpAddress& out, const char* text);

inline int ipAddressEquals(const IpAddress& a, const IpAddress& b) { return a.equals(b); }

// 1 when all three values are IPv4.
int allIp4(const IpAddress& a, const IpAddress& b, const IpAddress& c);

// The text form in the next of 16 static buffers used in turn: a result stays
// valid until 16 further calls (from any thread) have been made, so one line
// of output can hold up to 16 addresses.
const char* ipText(const IpAddress& address);

#endif
