#include "net/address/addresssetters.h"

#include "net/interface/netinterface.h"
#include "params/store/paramstore.h"
#include "params/types/ip4param.h"
#include "params/types/parambase.h"
#include "runtime/socket/ipaddress.h"

namespace {

void storeAddress(const char* key, const IpAddress& value) {
  Ip4Param* param = paramStore.findIp4(key);
  if (param) param->setAddress(value);
}

}  // namespace

int setAsInterfaceAddress(const IpAddress& address, NetInterface& nif, const char* source, int store) {
  if (address.isIp6()) return 0;
  if (store) {
    storeAddress("ip_addr", address);
    if (source) {
      Param* setBy = paramStore.find("ip_setby");
      if (setBy) setBy->set(source);
    }
  }
  nif.setAddress(address);

  Ip4Param* storedMask = paramStore.findIp4("ip_mask");
  if (!address.isLinkLocal4() && storedMask && storedMask->hasValue()) {
    setAsNetmask(storedMask->address(), nif, 1);
    return 1;
  }
  IpAddress classful;
  address.mask(classful);
  return setAsNetmask(classful, nif, 1);
}

int setAsNetmask(const IpAddress& mask, NetInterface& nif, int store) {
  if (mask.isIp6()) return 0;
  if (store) storeAddress("ip_mask", mask);
  if (!mask.isPlausibleMask()) return 0;
  return nif.setNetmask(mask);
}

int setAsDefaultGateway(const IpAddress& gateway, NetInterface& nif, int store) {
  if (gateway.isIp6()) return 0;
  if (store) storeAddress("ip_gate", gateway);
  if (gateway.isSet() && !gateway.isLinkLocal4()) nif.deleteDefaultRoute(0);
  return nif.addRoute(0, gateway.ip4Word(), 0, nullptr);
}
