#include "params/resolverwiring.h"

#include "params/parambase.h"
#include "params/paramstore.h"
#include "runtime/resolver_settings.h"

namespace {

bool switchOn(const char* key) {
  Param* p = paramStore.find(key);
  return p != nullptr && p->isOn();
}

bool dnsOn() { return switchOn("dns"); }
bool ipv6On() { return switchOn("ipv6"); }

}  // namespace

void wireResolverSettings() { setResolverSettingsSource(dnsOn, ipv6On); }
