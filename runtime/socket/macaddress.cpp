#include "runtime/socket/macaddress.h"

#include "runtime/socket/ipaddress.h"

#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

// A locally administered prefix stands for the maker's own OUI.
const uint8_t kMakerOui[3] = {0x02, 0x55, 0x53};

void copyMacAddress(MacAddress& target, const MacAddress& source)
{
    std::memmove(target.bytes, source.bytes, sizeof target.bytes);
}

void copyMacFromHolder(MacAddress& target, const void* holder)
{
    const uint8_t* source;
    std::memcpy(&source, holder, sizeof source);
    std::memmove(target.bytes, source, sizeof target.bytes);
}

void makeMakerMac(MacAddress& target, uint8_t b4, uint8_t b5, uint8_t b6)
{
    std::memcpy(target.bytes, kMakerOui, 3);
    target.bytes[3] = b4;
    target.bytes[4] = b5;
    target.bytes[5] = b6;
}

void multicastMacFor(MacAddress& target, const IpAddress& group)
{
    const uint32_t word = group.ip4Word();
    uint8_t octets[4];
    std::memcpy(octets, &word, 4);
    target.bytes[0] = 0x01;
    target.bytes[1] = 0x00;
    target.bytes[2] = 0x5e;
    target.bytes[3] = octets[1] & 0x7f;
    target.bytes[4] = octets[2];
    target.bytes[5] = octets[3];
}

void readInterfaceMac(MacAddress& target, const char* interfaceName)
{
    std::memset(target.bytes, 0, sizeof target.bytes);
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return;
    ifreq request;
    std::memset(&request, 0, sizeof request);
    std::strncpy(request.ifr_name, interfaceName != nullptr ? interfaceName : "eth0", IFNAMSIZ - 1);
    if (ioctl(fd, SIOCGIFHWADDR, &request) == 0)
        std::memcpy(target.bytes, request.ifr_hwaddr.sa_data, sizeof target.bytes);
    close(fd);
}

int macEquals(const MacAddress& a, const MacAddress& b)
{
    return std::memcmp(a.bytes, b.bytes, sizeof a.bytes) == 0;
}

int macDiffers(const MacAddress& a, const MacAddress& b) { return !macEquals(a, b); }

int macGreater(const MacAddress& a, const MacAddress& b)
{
    // memcmp compares as unsigned char
    return std::memcmp(a.bytes, b.bytes, sizeof a.bytes) > 0;
}

// Reads up to six hexadecimal parts separated by ':', as the pattern
// "%x:%x:%x:%x:%x:%x" would, and returns how many were read.
static int readMacParts(const char* text, unsigned long (&parts)[6])
{
    int count = 0;
    const char* p = text;
    while (count < 6) {
        char* end;
        parts[count] = std::strtoul(p, &end, 16);
        if (end == p)
            break;
        ++count;
        p = end;
        if (*p != ':')
            break;
        ++p;
    }
    return count;
}

int parseMacAddress(MacAddress& target, const char* text)
{
    if (text == nullptr)
        return 0;
    unsigned long parts[6];
    const int count = readMacParts(text, parts);
    if (count != 6 && count != 3)
        return 0;
    // A part above 255 (or out of range, or negative) does not fit a byte;
    // truncating it would store a different address than the text names.
    for (int i = 0; i < count; ++i)
        if (parts[i] > 0xff)
            return 0;

    MacAddress parsed;
    if (count == 6) {
        for (int i = 0; i < 6; ++i)
            parsed.bytes[i] = static_cast<uint8_t>(parts[i]);
    } else {
        makeMakerMac(parsed, static_cast<uint8_t>(parts[0]), static_cast<uint8_t>(parts[1]),
                     static_cast<uint8_t>(parts[2]));
    }
    const int changed = macDiffers(parsed, target);
    copyMacAddress(target, parsed);
    return changed;
}

int macText(const MacAddress& mac, char* buffer)
{
    const uint8_t* b = mac.bytes;
    return std::snprintf(buffer, kMacTextSize, "%02x:%02x:%02x:%02x:%02x:%02x", b[0], b[1], b[2], b[3], b[4], b[5]);
}

const char* macTextUpper(const MacAddress& mac)
{
    // One buffer per thread: a caller uses the text at once, and threads do
    // not overwrite each other's text while it is in use.
    static thread_local char buffer[kMacTextSize];
    const uint8_t* b = mac.bytes;
    std::snprintf(buffer, sizeof buffer, "%02X:%02X:%02X:%02X:%02X:%02X", b[0], b[1], b[2], b[3], b[4], b[5]);
    return buffer;
}

void printMac(const MacAddress& mac, FILE* file)
{
    char text[kMacTextSize];
    macText(mac, text);
    std::fprintf(file, "%s", text);
}
