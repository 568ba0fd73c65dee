#include "snmp/support/snmpparams.h"

#include "params/store/paramstore.h"
#include "params/types/ip4param.h"
#include "params/types/param.h"
#include "runtime/socket/ipaddress.h"

void SnmpParams::remember(const char* key) {
  for (const auto& entry : saved_)
    if (entry.first == key) return;
  Param* p = paramStore.find(key);
  if (p) saved_.emplace_back(key, p->savedText());
}

bool SnmpParams::set(const char* key, const std::string& value) {
  remember(key);
  Param* p = paramStore.find(key);
  return p != nullptr && p->set(value.c_str()) != 0;
}

bool SnmpParams::assign(const char* key, const std::string& value) {
  remember(key);
  Param* p = paramStore.find(key);
  if (p == nullptr) return false;
  if (value.empty()) {
    if (Ip4Param* address = paramStore.findIp4(key)) {
      address->setAddress(IpAddress());
      return true;
    }
  }
  return p->assign(value.c_str(), -1) != 0;
}

void SnmpParams::restore() {
  for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
    assign(it->first.c_str(), it->second);
    if (Param* p = paramStore.find(it->first.c_str())) p->clearModified();
  }
  saved_.clear();
}
