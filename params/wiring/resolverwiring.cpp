#include "params/wiring/resolverwiring.h"

#include "params/store/paramstore.h"
#include "params/types/parambase.h"
#include "runtime/socket/resolver_settings.h"

namespace {

bool switchOn(const char* key) {
  Param* p = paramStore.find(key);
  return p != nullptr && p->isOn();
}

bool dnsOn() { return switchOn("dns"); }
bool ipv6On() { return switchOn("ipv6"); }

}  // namespace

void wireResolverSettings() { setResolverSettingsSource(dnsOn, ipv6On); }
