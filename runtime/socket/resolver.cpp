#include "runtime/socket/resolver.h"

#include "runtime/socket/ipaddress.h"
#include "runtime/socket/resolver_settings.h"
#include "runtime/task/task.h"

#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

std::mutex resolverMutex;

namespace {

constexpr int64_t kBusyWaitCs = 50;
constexpr useconds_t kBusySleepUs = 5000;

// Takes resolverMutex; a task keeps serving its messages while it waits.
void lockResolver()
{
    while (!resolverMutex.try_lock()) {
        if (Task* task = currentTask())
            task->wait(kBusyWaitCs);
        else
            usleep(kBusySleepUs);
    }
}

// Copies the first address of entry into out. The port stays; every other
// byte after the family is cleared so no bytes of an earlier value of the
// other family remain (an old IPv4 address must not become IPv6 flow
// information).
bool takeFirstAddress(IpAddress& out, const hostent* entry)
{
    if (entry->h_addr_list == nullptr || entry->h_addr_list[0] == nullptr || entry->h_length <= 0)
        return false;
    const bool ip6 = entry->h_addrtype == AF_INET6;
    if (!ip6 && entry->h_addrtype != AF_INET)
        return false;
    const uint16_t port = out.port();
    out.clear(ip6);
    out.setPort(port);
    if (ip6) {
        uint8_t address[16] = {};
        std::memcpy(address, entry->h_addr_list[0], std::min<std::size_t>(entry->h_length, sizeof address));
        out.setIp6Bytes(address);
    } else {
        uint32_t word = 0;
        std::memcpy(&word, entry->h_addr_list[0], std::min<std::size_t>(entry->h_length, sizeof word));
        out.fromIp4Word(word);
    }
    return true;
}

}  // namespace

int resolveHostName(IpAddress& out, const char* host)
{
    if (host == nullptr || *host == '\0')
        return 0;

    IpAddress numeric;
    parseIpAddress(numeric, host);
    if (numeric.isUsableHost()) {
        out = numeric;
        return 1;
    }
    if (!resolverDnsOn())
        return 0;

    lockResolver();
    // gethostbyname* return static storage: the result is copied out before
    // the lock is released.
    const hostent* entry = gethostbyname2(host, resolverIpv6On() ? AF_INET6 : AF_INET);
    if (entry == nullptr)
        entry = gethostbyname(host);
    const bool found = entry != nullptr && takeFirstAddress(out, entry);
    if (!found) {
        // Nothing usable: keep the family, clear everything after it.
        const int family = out.family();
        std::memset(out.rawBytes(), 0, IpAddress::kSize);
        out.setFamily(family);
    }
    resolverMutex.unlock();
    return found ? 1 : 0;
}
