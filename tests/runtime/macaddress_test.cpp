#include "runtime/socket/macaddress.h"

#include "runtime/socket/ipaddress.h"

#include <dirent.h>
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>

namespace {

MacAddress mac(uint8_t a, uint8_t b, uint8_t c, uint8_t d, uint8_t e, uint8_t f)
{
    return MacAddress{{a, b, c, d, e, f}};
}

std::string lower(const MacAddress& m)
{
    char text[kMacTextSize];
    EXPECT_EQ(17, macText(m, text));
    return text;
}

const MacAddress kSample = mac(0x0a, 0x1b, 0x2c, 0x3d, 0x4e, 0x5f);

struct ParseCase {
    MacAddress before;
    const char* text;
    int changed;
    MacAddress after;
};

TEST(MacAddressParse, Table)
{
    const MacAddress zero{};
    const MacAddress maker = mac(kMakerOui[0], kMakerOui[1], kMakerOui[2], 0x12, 0x34, 0x56);
    const ParseCase cases[] = {
        {zero, "00:01:02:03:04:05", 1, mac(0, 1, 2, 3, 4, 5)},
        {mac(0, 1, 2, 3, 4, 5), "0:1:2:3:4:5", 0, mac(0, 1, 2, 3, 4, 5)},
        {zero, "AA:bb:Cc:dD:ee:FF", 1, mac(0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff)},
        {zero, "0a:1b:2c:3d:4e:5f", 1, kSample},
        {kSample, "0A:1B:2C:3D:4E:5F", 0, kSample},
        {zero, "12:34:56", 1, maker},
        {maker, "12:34:56", 0, maker},
        {zero, "00:00:00:00:00:00", 0, zero},
        {zero, "1:2:3:4:5:6:7", 1, mac(1, 2, 3, 4, 5, 6)},   // the pattern stops after six parts
        // Counts other than six and three leave the value alone.
        {kSample, "1:2", 0, kSample},
        {kSample, "1:2:3:4", 0, kSample},
        {kSample, "1:2:3:4:5", 0, kSample},
        {kSample, "1", 0, kSample},
        {kSample, "", 0, kSample},
        {kSample, "zz:1:2:3:4:5", 0, kSample},
        {kSample, "1-2-3-4-5-6", 0, kSample},
        {kSample, nullptr, 0, kSample},
        // A part that does not fit a byte is refused, not truncated.
        {kSample, "100:1:2:3:4:5", 0, kSample},
        {kSample, "1:2:3:4:5:fffffffff", 0, kSample},
        {kSample, "1:2:3:4:5:100000000", 0, kSample},
        {kSample, "1:2:3:4:5:10000000000000000", 0, kSample},
        {kSample, "-1:2:3:4:5:6", 0, kSample},
        {kSample, "123:45:67", 0, kSample},
    };
    for (const ParseCase& c : cases) {
        SCOPED_TRACE(c.text ? c.text : "(null)");
        MacAddress target = c.before;
        EXPECT_EQ(c.changed, parseMacAddress(target, c.text));
        EXPECT_EQ(lower(c.after), lower(target));
    }
}

TEST(MacAddressText, BothCaseForms)
{
    EXPECT_EQ("0a:1b:2c:3d:4e:5f", lower(kSample));
    EXPECT_STREQ("0A:1B:2C:3D:4E:5F", macTextUpper(kSample));
    EXPECT_EQ("00:00:00:00:00:00", lower(MacAddress{}));
    EXPECT_STREQ("FF:FF:FF:FF:FF:FF", macTextUpper(mac(255, 255, 255, 255, 255, 255)));

    char* data = nullptr;
    std::size_t size = 0;
    FILE* stream = open_memstream(&data, &size);
    ASSERT_NE(nullptr, stream);
    printMac(kSample, stream);
    std::fclose(stream);
    EXPECT_STREQ("0a:1b:2c:3d:4e:5f", data);
    std::free(data);
}

TEST(MacAddressText, TextParsesBack)
{
    for (const MacAddress& m : {kSample, mac(0x80, 0x7f, 0, 0xff, 1, 0xfe)}) {
        MacAddress back{};
        parseMacAddress(back, lower(m).c_str());
        EXPECT_EQ(1, macEquals(m, back));
        MacAddress backUpper{};
        parseMacAddress(backUpper, macTextUpper(m));
        EXPECT_EQ(1, macEquals(m, backUpper));
    }
}

TEST(MacAddressCompare, EqualsDiffersGreater)
{
    struct {
        MacAddress a, b;
        int equal, aGreater, bGreater;
    } cases[] = {
        {kSample, kSample, 1, 0, 0},
        {mac(0, 0, 0, 0, 0, 2), mac(0, 0, 0, 0, 0, 1), 0, 1, 0},
        {mac(1, 0xff, 0xff, 0xff, 0xff, 0xff), mac(2, 0, 0, 0, 0, 0), 0, 0, 1},   // first difference decides
        {mac(0x80, 0, 0, 0, 0, 0), mac(0x7f, 0xff, 0, 0, 0, 0), 0, 1, 0},         // bytes are unsigned
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(lower(c.a) + " vs " + lower(c.b));
        EXPECT_EQ(c.equal, macEquals(c.a, c.b));
        EXPECT_EQ(!c.equal, macDiffers(c.a, c.b));
        EXPECT_EQ(c.aGreater, macGreater(c.a, c.b));
        EXPECT_EQ(c.bGreater, macGreater(c.b, c.a));
    }
}

TEST(MacAddressBuild, CopiesAndMakerAddress)
{
    MacAddress target{};
    copyMacAddress(target, kSample);
    EXPECT_EQ(1, macEquals(target, kSample));
    MacAddress second{};
    copyMacBytes(second, target);
    EXPECT_EQ(1, macEquals(second, kSample));

    struct Holder {
        const uint8_t* data;
        int unrelated;
    } holder{kSample.bytes, 7};
    MacAddress fromHolder{};
    copyMacFromHolder(fromHolder, &holder);
    EXPECT_EQ(1, macEquals(fromHolder, kSample));

    MacAddress made{};
    makeMakerMac(made, 0xde, 0xad, 0x01);
    EXPECT_EQ(lower(mac(kMakerOui[0], kMakerOui[1], kMakerOui[2], 0xde, 0xad, 0x01)), lower(made));
}

TEST(MacAddressBuild, MulticastGroups)
{
    struct {
        const char* group;
        const char* mac;
    } cases[] = {
        {"239.255.255.250", "01:00:5e:7f:ff:fa"},
        {"224.0.0.251", "01:00:5e:00:00:fb"},
        {"224.128.1.2", "01:00:5e:00:01:02"},
        {"::ffff:239.255.255.253", "01:00:5e:7f:ff:fd"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.group);
        IpAddress group;
        parseIpAddress(group, c.group);
        MacAddress m{};
        multicastMacFor(m, group);
        EXPECT_EQ(c.mac, lower(m));
    }
}

TEST(MacAddressInterface, UnknownOrOverlongNamesGiveZero)
{
    const std::string overlong(64, 'x');
    for (const char* name : {"nosuchif0", overlong.c_str(), ""}) {
        SCOPED_TRACE(name);
        MacAddress m = kSample;
        readInterfaceMac(m, name);
        EXPECT_EQ("00:00:00:00:00:00", lower(m));
    }
}

// Compares with what the kernel reports for every interface this host has.
TEST(MacAddressInterface, MatchesTheKernelsHardwareAddress)
{
    DIR* dir = opendir("/sys/class/net");
    if (dir == nullptr)
        GTEST_SKIP() << "no interface list";
    int compared = 0;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        std::ifstream file(std::string("/sys/class/net/") + entry->d_name + "/address");
        std::string expected;
        if (!(file >> expected) || expected.size() != 17)
            continue;
        SCOPED_TRACE(entry->d_name);
        MacAddress m{};
        readInterfaceMac(m, entry->d_name);
        EXPECT_EQ(expected, lower(m));
        ++compared;
    }
    closedir(dir);
    if (compared == 0)
        GTEST_SKIP() << "no interface with a hardware address";
}

}  // namespace
