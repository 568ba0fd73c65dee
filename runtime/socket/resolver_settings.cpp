#include "runtime/socket/resolver_settings.h"

#include <atomic>

namespace {

using SettingReader = bool (*)();

std::atomic<SettingReader> dnsReader{nullptr};
std::atomic<SettingReader> ipv6Reader{nullptr};

bool readSetting(const std::atomic<SettingReader>& reader)
{
    const SettingReader read = reader.load(std::memory_order_acquire);
    return read != nullptr && read();
}

}  // namespace

void setResolverSettingsSource(bool (*dnsOn)(), bool (*ipv6On)())
{
    dnsReader.store(dnsOn, std::memory_order_release);
    ipv6Reader.store(ipv6On, std::memory_order_release);
}

bool resolverDnsOn() { return readSetting(dnsReader); }
bool resolverIpv6On() { return readSetting(ipv6Reader); }
