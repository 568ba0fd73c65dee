#include "runtime/socket/ipaddress.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <cstddef>
#include <cstring>

static_assert(AF_INET == IpAddress::kFamilyIp4 && AF_INET6 == IpAddress::kFamilyIp6, "address families");
static_assert(sizeof(sockaddr_in6) == IpAddress::kSize, "IPv6 socket address size");
static_assert(sizeof(sockaddr_in) == IpAddress::kIp4Size, "IPv4 socket address size");
static_assert(offsetof(sockaddr_in, sin_port) == 2 && offsetof(sockaddr_in, sin_addr) == 4, "IPv4 layout");
static_assert(offsetof(sockaddr_in6, sin6_port) == 2 && offsetof(sockaddr_in6, sin6_addr) == 8, "IPv6 layout");
static_assert(alignof(IpAddress) >= alignof(sockaddr_in6), "IpAddress alignment");

namespace {

constexpr std::size_t kFamilyOffset = 0;
constexpr std::size_t kPortOffset = 2;
constexpr std::size_t kIp4Offset = 4;
constexpr std::size_t kIp6Offset = 8;
constexpr std::size_t kIp6AddressSize = 16;

const uint8_t kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};

bool looksIp6(const char* text) { return std::strchr(text, ':') != nullptr; }

// Converts text into the address field of out for the family the text
// implies; a failed conversion leaves the address field untouched.
int convertText(IpAddress& out, const char* text)
{
    if (looksIp6(text)) {
        out.setFamily(IpAddress::kFamilyIp6);
        uint8_t address[kIp6AddressSize];
        if (inet_pton(AF_INET6, text, address) != 1)
            return 0;
        out.setIp6Bytes(address);
        return 1;
    }
    out.setFamily(IpAddress::kFamilyIp4);
    uint32_t word;
    if (inet_pton(AF_INET, text, &word) != 1)
        return 0;
    out.fromIp4Word(word);
    return 1;
}

}  // namespace

void IpAddress::clear(bool ip6)
{
    std::memset(bytes_, 0, sizeof bytes_);
    setFamily(ip6 ? kFamilyIp6 : kFamilyIp4);
}

IpAddress& IpAddress::fromIp4Word(uint32_t networkOrderWord)
{
    setFamily(kFamilyIp4);
    std::memcpy(bytes_ + kIp4Offset, &networkOrderWord, 4);
    return *this;
}

IpAddress& IpAddress::fromIp4Bytes(uint8_t a, uint8_t b, uint8_t c, uint8_t d)
{
    setFamily(kFamilyIp4);
    bytes_[kIp4Offset] = a;
    bytes_[kIp4Offset + 1] = b;
    bytes_[kIp4Offset + 2] = c;
    bytes_[kIp4Offset + 3] = d;
    return *this;
}

void IpAddress::assign(const IpAddress& source)
{
    if (&source == this)
        return;
    std::memcpy(bytes_, source.bytes_, source.sockAddrLength());
}

int IpAddress::family() const
{
    uint16_t family;
    std::memcpy(&family, bytes_ + kFamilyOffset, 2);
    return family;
}

void IpAddress::setFamily(int family)
{
    const uint16_t value = static_cast<uint16_t>(family);
    std::memcpy(bytes_ + kFamilyOffset, &value, 2);
}

uint16_t IpAddress::port() const
{
    uint16_t port;
    std::memcpy(&port, bytes_ + kPortOffset, 2);
    return ntohs(port);
}

void IpAddress::setPort(uint16_t hostOrderPort)
{
    const uint16_t port = htons(hostOrderPort);
    std::memcpy(bytes_ + kPortOffset, &port, 2);
}

void IpAddress::setIp6Bytes(const uint8_t* sixteenBytes)
{
    std::memcpy(bytes_ + kIp6Offset, sixteenBytes, kIp6AddressSize);
}

const sockaddr* IpAddress::sockAddr() const { return reinterpret_cast<const sockaddr*>(bytes_); }
sockaddr* IpAddress::sockAddr() { return reinterpret_cast<sockaddr*>(bytes_); }

unsigned IpAddress::sockAddrLength() const
{
    return family() == kFamilyIp6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
}

int IpAddress::isIp6() const { return family() == kFamilyIp6; }

int IpAddress::isLinkLocal4() const
{
    return family() == kFamilyIp4 && bytes_[kIp4Offset] == 169 && bytes_[kIp4Offset + 1] == 254;
}

int IpAddress::isUsableHost() const
{
    if (family() != kFamilyIp4)
        return 1;
    const uint8_t last = bytes_[kIp4Offset + 3];
    return last != 0 && last != 255;
}

int IpAddress::isPlausibleMask() const
{
    return family() == kFamilyIp4 && (bytes_[kIp4Offset + 3] & 1) == 0;
}

int IpAddress::isSet() const
{
    if (family() == kFamilyIp6) {
        for (std::size_t i = 0; i < kIp6AddressSize; ++i)
            if (bytes_[kIp6Offset + i] != 0)
                return 1;
        return 0;
    }
    return std::memcmp(bytes_ + kIp4Offset, "\0\0\0\0", 4) != 0;
}

int IpAddress::equals(const IpAddress& other) const
{
    if (family() != other.family())
        return 0;
    if (family() == kFamilyIp6)
        return std::memcmp(bytes_ + kIp6Offset, other.bytes_ + kIp6Offset, kIp6AddressSize) == 0;
    return std::memcmp(bytes_ + kIp4Offset, other.bytes_ + kIp4Offset, 4) == 0;
}

uint32_t IpAddress::ip4Word() const
{
    uint32_t word = 0;
    if (family() == kFamilyIp4)
        std::memcpy(&word, bytes_ + kIp4Offset, 4);
    else if (family() == kFamilyIp6 && std::memcmp(bytes_ + kIp6Offset, kMappedPrefix, sizeof kMappedPrefix) == 0)
        std::memcpy(&word, bytes_ + kIp6Offset + 12, 4);
    return word;
}

void IpAddress::mask(IpAddress& out) const
{
    if (family() == kFamilyIp6) {
        std::fputs("! ERROR, mask() no valid call for IPv6 !\n", stderr);
        out.clear(false);
        return;
    }
    const uint8_t first = bytes_[kIp4Offset];
    out.clear(false);
    if (first < 128)
        out.fromIp4Bytes(255, 0, 0, 0);
    else if (first < 192)
        out.fromIp4Bytes(255, 255, 0, 0);
    else if (first < 224)
        out.fromIp4Bytes(255, 255, 255, 0);
}

void IpAddress::broadcastFor(IpAddress& out, const IpAddress& netmask) const
{
    if (family() == kFamilyIp6) {
        out.clear(true);
        return;
    }
    const uint32_t address = ip4Word();
    const uint32_t maskWord = netmask.ip4Word();
    out.clear(false);
    out.fromIp4Word((address & maskWord) | ~maskWord);
}

int IpAddress::toText(char* buffer, std::size_t size) const
{
    if (size == 0)
        return 0;
    const char* text = nullptr;
    if (family() == kFamilyIp4)
        text = inet_ntop(AF_INET, bytes_ + kIp4Offset, buffer, static_cast<socklen_t>(size));
    else if (family() == kFamilyIp6)
        text = inet_ntop(AF_INET6, bytes_ + kIp6Offset, buffer, static_cast<socklen_t>(size));
    if (text == nullptr)
        std::snprintf(buffer, size, "%s", "-error-");
    return static_cast<int>(std::strlen(buffer));
}

void IpAddress::print(FILE* file) const
{
    char text[kTextSize];
    toText(text, sizeof text);
    std::fprintf(file, "%s", text);
}

int parseIpAddress(IpAddress& out, const char* text)
{
    out.clear(text != nullptr && looksIp6(text));
    if (text == nullptr)
        return 0;
    return convertText(out, text);
}

int parseIpAddressFamily(IpAddress& out, const char* text)
{
    if (text == nullptr)
        return 0;
    return convertText(out, text);
}

int allIp4(const IpAddress& a, const IpAddress& b, const IpAddress& c)
{
    return a.family() == IpAddress::kFamilyIp4 && b.family() == IpAddress::kFamilyIp4 &&
           c.family() == IpAddress::kFamilyIp4;
}

const char* ipText(const IpAddress& address)
{
    static char buffers[16][IpAddress::kTextSize];
    static std::atomic<unsigned> next{0};
    char* buffer = buffers[next.fetch_add(1, std::memory_order_relaxed) % 16];
    address.toText(buffer, IpAddress::kTextSize);
    return buffer;
}
