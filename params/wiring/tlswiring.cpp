#include "params/wiring/tlswiring.h"

#include <cstdio>

#include "params/identity/productparams.h"
#include "params/store/paramstore.h"
#include "params/types/intparam.h"
#include "params/types/p3list.h"
#include "params/types/parambase.h"
#include "runtime/tls/tlssettings.h"

namespace {

int readSslMethod(char* out, int size) {
  P3List* list = paramStore.findList("sslmethod");
  const char* key = list != nullptr ? list->currentKey() : nullptr;
  if (key == nullptr) return 0;
  std::snprintf(out, static_cast<size_t>(size), "%s", key);
  return 1;
}

int readIntParam(const char* key, int fallback) {
  IntParam* p = paramStore.findInt(key);
  return p != nullptr ? p->value() : fallback;
}

int readSecurity() { return readIntParam("security", 4); }

int readPortVlan(int index) {
  char key[32];
  std::snprintf(key, sizeof key, "ip4vlan_on_%d", index);
  Param* on = paramStore.find(key);
  if (on == nullptr || !on->isOn()) return -1;
  std::snprintf(key, sizeof key, "ip4vlan_id_%d", index);
  return readIntParam(key, -1);
}

int readUsbPortsPhy() { return static_cast<int>(productParams().usb_ports_phy); }

int readTcpMaxseg() { return readIntParam("tcp_maxseg", 0); }

}  // namespace

void wireTlsSettings() {
  setTlsSettings(TlsSettings{readSslMethod, readSecurity, readPortVlan, readUsbPortsPhy, readTcpMaxseg});
}
