// Fuzz target for the address text parsers: IPv4/IPv6 and MAC texts come
// from parameter files, web forms, SNMP writes and mails.
#include "runtime/socket/ipaddress.h"
#include "runtime/socket/macaddress.h"

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void check(bool condition)
{
    if (!condition)
        std::abort();
}

void fuzzIpText(const char* text)
{
    IpAddress address;
    std::memset(address.rawBytes(), 0xa5, IpAddress::kSize);
    const int valid = parseIpAddress(address, text);
    check(address.family() == IpAddress::kFamilyIp4 || address.family() == IpAddress::kFamilyIp6);

    char formatted[IpAddress::kTextSize];
    const int length = address.toText(formatted, sizeof formatted);
    check(length >= 0 && static_cast<std::size_t>(length) == std::strlen(formatted));

    // The text form of any parsed value parses back to the same address.
    IpAddress again;
    check(parseIpAddress(again, formatted) == 1);
    check(again.equals(address));
    check(valid == 0 || valid == 1);

    char small[8];
    address.toText(small, sizeof small);
    check(std::strlen(small) < sizeof small);

    IpAddress derived;
    if (!address.isIp6()) {
        address.mask(derived);
        check(derived.isPlausibleMask());
    }
    address.broadcastFor(derived, again);
    address.isUsableHost();
    address.isLinkLocal4();
    address.isSet();
    address.ip4Word();

    IpAddress kept = address;
    parseIpAddressFamily(kept, text);
    check(kept.equals(address));
    ipText(kept);
}

void fuzzMacText(const char* text)
{
    MacAddress mac{};
    const int changed = parseMacAddress(mac, text);
    check(changed == 0 || changed == 1);

    char formatted[kMacTextSize];
    check(macText(mac, formatted) == 17);
    MacAddress again{};
    parseMacAddress(again, formatted);
    check(macEquals(again, mac));
    check(parseMacAddress(again, macTextUpper(mac)) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);   // stops at an embedded NUL
    fuzzIpText(text.c_str());
    fuzzMacText(text.c_str());
    return 0;
}
