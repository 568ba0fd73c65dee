#include "runtime/socket/ipaddress.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>

namespace {

IpAddress parsed(const char* text)
{
    IpAddress address;
    parseIpAddress(address, text);
    return address;
}

std::string textOf(const IpAddress& address)
{
    char buffer[IpAddress::kTextSize];
    const int length = address.toText(buffer, sizeof buffer);
    EXPECT_EQ(static_cast<int>(std::strlen(buffer)), length);
    return buffer;
}

bool zeroFrom(const IpAddress& address, std::size_t from, std::size_t to)
{
    for (std::size_t i = from; i < to; ++i)
        if (address.rawBytes()[i] != 0)
            return false;
    return true;
}

IpAddress filledWithGarbage()
{
    IpAddress address;
    std::memset(address.rawBytes(), 0xa5, IpAddress::kSize);
    return address;
}

struct ParseCase {
    const char* text;
    int family;
    const char* formatted;
    int valid;
};

const ParseCase kParseCases[] = {
    {"192.168.0.1", 2, "192.168.0.1", 1},
    {"0.0.0.0", 2, "0.0.0.0", 1},
    {"255.255.255.255", 2, "255.255.255.255", 1},
    {"printer", 2, "0.0.0.0", 0},
    {"", 2, "0.0.0.0", 0},
    {"1.2.3", 2, "0.0.0.0", 0},
    {"256.1.1.1", 2, "0.0.0.0", 0},
    {"10.0.0.1 ", 2, "0.0.0.0", 0},
    {"fe80::1", 10, "fe80::1", 1},
    {"FE80:0:0:0:0:0:0:1", 10, "fe80::1", 1},
    {"2001:db8::abcd:1", 10, "2001:db8::abcd:1", 1},
    {"::", 10, "::", 1},
    {"::ffff:10.0.0.1", 10, "::ffff:10.0.0.1", 1},
    {"zz::1", 10, "::", 0},
    {"fe80::1%eth0", 10, "::", 0},
    {":", 10, "::", 0},
};

TEST(IpAddressParse, TextGivesFamilyAndAddress)
{
    for (const ParseCase& c : kParseCases) {
        SCOPED_TRACE(c.text);
        IpAddress address = filledWithGarbage();
        EXPECT_EQ(c.valid, parseIpAddress(address, c.text));
        EXPECT_EQ(c.family, address.family());
        EXPECT_EQ(c.formatted, textOf(address));
        // The whole value is cleared first: port and the bytes around the
        // address are zero whatever the target held.
        EXPECT_EQ(0, address.port());
        if (c.family == 2)
            EXPECT_TRUE(zeroFrom(address, 8, IpAddress::kSize));
        else
            EXPECT_TRUE(zeroFrom(address, 2, 8) && zeroFrom(address, 24, IpAddress::kSize));
    }
}

TEST(IpAddressParse, NullTextGivesEmptyIp4)
{
    IpAddress address = filledWithGarbage();
    EXPECT_EQ(0, parseIpAddress(address, nullptr));
    EXPECT_EQ(2, address.family());
    EXPECT_TRUE(zeroFrom(address, 2, IpAddress::kSize));
}

TEST(IpAddressParse, FamilyParseKeepsOtherBytes)
{
    IpAddress address;
    address.clear(true);
    address.setPort(8080);
    EXPECT_EQ(1, parseIpAddressFamily(address, "10.1.2.3"));
    EXPECT_EQ(2, address.family());
    EXPECT_EQ(8080, address.port());
    EXPECT_EQ("10.1.2.3", textOf(address));

    // A text that does not convert leaves the address as it was.
    EXPECT_EQ(0, parseIpAddressFamily(address, "nonsense"));
    EXPECT_EQ("10.1.2.3", textOf(address));
}

TEST(IpAddressLayout, OverlaysSocketAddressStructures)
{
    IpAddress v4;
    v4.fromIp4Bytes(192, 168, 1, 2);
    v4.setPort(80);
    sockaddr_in in4;
    ASSERT_EQ(sizeof in4, v4.sockAddrLength());
    std::memcpy(&in4, v4.rawBytes(), sizeof in4);
    EXPECT_EQ(AF_INET, in4.sin_family);
    EXPECT_EQ(htons(80), in4.sin_port);
    EXPECT_EQ(inet_addr("192.168.1.2"), in4.sin_addr.s_addr);
    EXPECT_EQ(inet_addr("192.168.1.2"), v4.ip4Word());

    IpAddress v6 = parsed("2001:db8::7");
    v6.setPort(443);
    sockaddr_in6 in6;
    ASSERT_EQ(sizeof in6, v6.sockAddrLength());
    std::memcpy(&in6, v6.rawBytes(), sizeof in6);
    EXPECT_EQ(AF_INET6, in6.sin6_family);
    EXPECT_EQ(htons(443), in6.sin6_port);
    in6_addr expected;
    ASSERT_EQ(1, inet_pton(AF_INET6, "2001:db8::7", &expected));
    EXPECT_EQ(0, std::memcmp(&expected, &in6.sin6_addr, sizeof expected));
}

TEST(IpAddressLayout, KernelAcceptsAndFillsTheValue)
{
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(fd, 0);
    IpAddress local = parsed("127.0.0.1");
    ASSERT_EQ(0, bind(fd, local.sockAddr(), local.sockAddrLength()));
    IpAddress bound;
    bound.clear(true);
    socklen_t length = IpAddress::kSize;
    ASSERT_EQ(0, getsockname(fd, bound.sockAddr(), &length));
    close(fd);
    EXPECT_EQ(2, bound.family());
    EXPECT_EQ("127.0.0.1", textOf(bound));
    EXPECT_NE(0, bound.port());
}

TEST(IpAddressCopy, AssignCopiesTheSignificantBytesOfTheSourceFamily)
{
    IpAddress source = parsed("10.0.0.1");
    source.setPort(25);
    IpAddress target = filledWithGarbage();
    target.assign(source);
    EXPECT_EQ(2, target.family());
    EXPECT_EQ(25, target.port());
    EXPECT_EQ(0, std::memcmp(source.rawBytes(), target.rawBytes(), IpAddress::kIp4Size));
    EXPECT_EQ(0xa5, target.rawBytes()[IpAddress::kIp4Size]);   // beyond an IPv4 value: untouched

    IpAddress source6 = parsed("fe80::2");
    std::memset(source6.rawBytes() + 24, 7, 4);                  // scope id
    EXPECT_EQ(&target, &target.copyFrom(source6));
    EXPECT_EQ(0, std::memcmp(source6.rawBytes(), target.rawBytes(), IpAddress::kSize));
}

TEST(IpAddressCopy, Ip4SettersKeepOtherBytes)
{
    IpAddress address = parsed("fe80::1");
    address.setPort(99);
    address.fromIp4Word(inet_addr("1.2.3.4"));
    EXPECT_EQ(2, address.family());
    EXPECT_EQ(99, address.port());
    EXPECT_EQ("1.2.3.4", textOf(address));
    EXPECT_EQ(0xfe, address.rawBytes()[8]);   // first byte of the former fe80:: stays

    address.fromIp4Bytes(5, 6, 7, 8);
    EXPECT_EQ(inet_addr("5.6.7.8"), address.ip4Word());
}

struct PredicateCase {
    const char* text;
    int ip6, linkLocal4, usableHost, plausibleMask, set;
};

const PredicateCase kPredicateCases[] = {
    {"0.0.0.0", 0, 0, 0, 1, 0},
    {"10.0.0.1", 0, 0, 1, 0, 1},
    {"10.0.0.0", 0, 0, 0, 1, 1},
    {"10.0.0.254", 0, 0, 1, 1, 1},
    {"10.0.0.255", 0, 0, 0, 0, 1},
    {"169.254.3.4", 0, 1, 1, 1, 1},
    {"169.254.0.0", 0, 1, 0, 1, 1},
    {"169.253.3.4", 0, 0, 1, 1, 1},
    {"170.254.3.4", 0, 0, 1, 1, 1},
    {"255.255.255.0", 0, 0, 0, 1, 1},
    {"255.255.255.252", 0, 0, 1, 1, 1},
    {"1.0.0.124", 0, 0, 1, 1, 1},
    {"fe80::1", 1, 0, 1, 0, 1},
    {"::", 1, 0, 1, 0, 0},
    {"::ff", 1, 0, 1, 0, 1},
    {"::ffff:169.254.1.1", 1, 0, 1, 0, 1},
};

TEST(IpAddressPredicates, Table)
{
    for (const PredicateCase& c : kPredicateCases) {
        SCOPED_TRACE(c.text);
        const IpAddress address = parsed(c.text);
        EXPECT_EQ(c.ip6, address.isIp6());
        EXPECT_EQ(c.linkLocal4, address.isLinkLocal4());
        EXPECT_EQ(c.usableHost, address.isUsableHost());
        EXPECT_EQ(c.plausibleMask, address.isPlausibleMask());
        EXPECT_EQ(c.set, address.isSet());
    }
}

TEST(IpAddressPredicates, SetIgnoresPortAndScope)
{
    IpAddress v4;
    v4.setPort(80);
    EXPECT_EQ(0, v4.isSet());
    IpAddress v6;
    v6.clear(true);
    v6.setPort(80);
    std::memset(v6.rawBytes() + 24, 1, 4);
    EXPECT_EQ(0, v6.isSet());
}

TEST(IpAddressPredicates, AllIp4)
{
    const IpAddress a = parsed("1.1.1.1"), b = parsed("0.0.0.0"), c = parsed("::1");
    EXPECT_EQ(1, allIp4(a, b, a));
    EXPECT_EQ(0, allIp4(a, b, c));
    EXPECT_EQ(0, allIp4(c, a, b));
}

struct EqualsCase {
    const char* a;
    const char* b;
    int equal;
};

const EqualsCase kEqualsCases[] = {
    {"10.0.0.1", "10.0.0.1", 1},
    {"10.0.0.1", "10.0.0.2", 0},
    {"10.0.0.1", "::ffff:10.0.0.1", 0},
    {"0.0.0.0", "::", 0},
    {"fe80::1", "fe80::1", 1},
    {"fe80::1", "fe80::2", 0},
    {"2001:db8::1", "2001:db8:0:0:0:0:0:1", 1},
};

TEST(IpAddressEquals, ComparesFamilyAndAddressOnly)
{
    for (const EqualsCase& c : kEqualsCases) {
        SCOPED_TRACE(std::string(c.a) + " vs " + c.b);
        IpAddress a = parsed(c.a), b = parsed(c.b);
        // Port and (for IPv6) flow information and scope id do not count.
        a.setPort(1);
        b.setPort(2);
        if (b.isIp6()) {
            std::memset(b.rawBytes() + 4, 9, 4);    // flow information
            std::memset(b.rawBytes() + 24, 9, 4);   // scope id
        }
        EXPECT_EQ(c.equal, a.equals(b));
        EXPECT_EQ(c.equal, b.equals(a));
        EXPECT_EQ(c.equal, ipAddressEquals(a, b));
        EXPECT_EQ(!c.equal, a.differs(b));
    }
}

TEST(IpAddressDerivations, Ip4Word)
{
    EXPECT_EQ(inet_addr("10.0.0.1"), parsed("10.0.0.1").ip4Word());
    EXPECT_EQ(inet_addr("10.0.0.1"), parsed("::ffff:10.0.0.1").ip4Word());
    EXPECT_EQ(0u, parsed("::1").ip4Word());
    EXPECT_EQ(0u, parsed("::10.0.0.1").ip4Word());          // compatible, not mapped
    EXPECT_EQ(0u, parsed("1::ffff:10.0.0.1").ip4Word());
    IpAddress other;
    other.setFamily(0);
    std::memset(other.rawBytes() + 4, 1, 4);
    EXPECT_EQ(0u, other.ip4Word());
}

struct MaskCase {
    const char* address;
    const char* mask;
};

const MaskCase kMaskCases[] = {
    {"0.0.0.0", "255.0.0.0"},         {"10.0.0.1", "255.0.0.0"},       {"127.255.255.255", "255.0.0.0"},
    {"128.0.0.1", "255.255.0.0"},     {"172.16.0.1", "255.255.0.0"},   {"191.255.0.1", "255.255.0.0"},
    {"192.0.0.1", "255.255.255.0"},   {"192.168.1.1", "255.255.255.0"}, {"223.1.1.1", "255.255.255.0"},
    {"224.0.0.1", "0.0.0.0"},         {"230.1.1.1", "0.0.0.0"},         {"255.255.255.255", "0.0.0.0"},
};

TEST(IpAddressDerivations, ClassfulMask)
{
    for (const MaskCase& c : kMaskCases) {
        SCOPED_TRACE(c.address);
        IpAddress mask = filledWithGarbage();
        parsed(c.address).mask(mask);
        EXPECT_EQ(2, mask.family());
        EXPECT_EQ(c.mask, textOf(mask));
        EXPECT_TRUE(zeroFrom(mask, 2, 4) && zeroFrom(mask, 8, IpAddress::kSize));

        IpAddress inPlace = parsed(c.address);
        inPlace.mask(inPlace);
        EXPECT_EQ(c.mask, textOf(inPlace));
    }
}

TEST(IpAddressDerivations, MaskOfIp6IsRefused)
{
    IpAddress mask = filledWithGarbage();
    testing::internal::CaptureStderr();
    parsed("fe80::1").mask(mask);
    EXPECT_EQ("! ERROR, mask() no valid call for IPv6 !\n", testing::internal::GetCapturedStderr());
    EXPECT_EQ(2, mask.family());
    EXPECT_TRUE(zeroFrom(mask, 2, IpAddress::kSize));
}

TEST(IpAddressDerivations, Broadcast)
{
    struct {
        const char* address;
        const char* mask;
        const char* broadcast;
    } cases[] = {
        {"192.168.1.10", "255.255.255.0", "192.168.1.255"},
        {"10.1.2.3", "255.0.0.0", "10.255.255.255"},
        {"172.16.5.4", "255.255.240.0", "172.16.15.255"},
        {"10.1.2.3", "0.0.0.0", "255.255.255.255"},
        {"10.1.2.3", "255.255.255.255", "10.1.2.3"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.address);
        IpAddress out = filledWithGarbage();
        parsed(c.address).broadcastFor(out, parsed(c.mask));
        EXPECT_EQ(c.broadcast, textOf(out));
    }
    IpAddress out;
    parsed("fe80::1").broadcastFor(out, parsed("255.255.255.0"));
    EXPECT_EQ(10, out.family());
    EXPECT_EQ(0, out.isSet());
}

TEST(IpAddressText, ErrorsAndSmallBuffers)
{
    IpAddress unknown;
    unknown.setFamily(0);
    EXPECT_EQ("-error-", textOf(unknown));

    char small[8];
    const IpAddress v6 = parsed("2001:db8::abcd:1");
    EXPECT_EQ(7, v6.toText(small, sizeof small));
    EXPECT_STREQ("-error-", small);

    char tiny[4] = {'x', 'x', 'x', 'x'};
    EXPECT_EQ(0, v6.toText(tiny, 0));
    EXPECT_EQ('x', tiny[0]);
    EXPECT_EQ(3, v6.toText(tiny, sizeof tiny));
    EXPECT_STREQ("-er", tiny);
}

TEST(IpAddressText, PrintWritesTheText)
{
    char* data = nullptr;
    std::size_t size = 0;
    FILE* stream = open_memstream(&data, &size);
    ASSERT_NE(nullptr, stream);
    parsed("fe80::1").print(stream);
    std::fputc(' ', stream);
    parsed("10.9.8.7").print(stream);
    std::fclose(stream);
    EXPECT_STREQ("fe80::1 10.9.8.7", data);
    std::free(data);
}

TEST(IpAddressText, IpTextRotatesSixteenBuffers)
{
    const char* results[16];
    for (int i = 0; i < 16; ++i) {
        IpAddress address;
        address.fromIp4Bytes(10, 0, 0, static_cast<uint8_t>(i + 1));
        results[i] = ipText(address);
    }
    // All sixteen are still intact, as one output line needs them.
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ("10.0.0." + std::to_string(i + 1), results[i]);

    const char* seventeenth = ipText(parsed("fe80::1"));
    EXPECT_EQ(results[0], seventeenth);
    EXPECT_STREQ("fe80::1", results[0]);
    EXPECT_STREQ("10.0.0.2", results[1]);
}

}  // namespace
