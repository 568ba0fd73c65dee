// Restart of the interface: down, up, routes, IPv6 and VLANs again.
#include <net/if.h>

#include <cstdio>

#include "net/address/addresssetters.h"
#include "net/interface/netinterface.h"
#include "net/interface/netparams.h"
#include "params/identity/productparams.h"
#include "params/types/paramflags.h"
#include "runtime/socket/ipaddress.h"

namespace {
constexpr uint32_t kCompatIpv6 = 0x80;
}

int NetInterface::restart() {
  uint16_t flags = 0;
  if (!getFlags(flags, nullptr)) return 0;
  setFlags(static_cast<uint16_t>(flags & ~IFF_UP), nullptr);
  setFlags(static_cast<uint16_t>(flags | IFF_UP), nullptr);

  IpAddress address;
  netParamAddress("ip_addr", address);
  if (address.isLinkLocal4()) {
    routeLinkLocal();
    std::fprintf(stderr, "### ZeroConf IP:%s setup linklocal configuration ###\n", ipText(address));
  } else {
    IpAddress gateway;
    if (netParamAddress("ip_gate", gateway) && gateway.isSet()) {
      setAsDefaultGateway(gateway, *this, 1);
      std::fprintf(stderr, "### Non Zeronf IP:%s setup default Gate:%s ###\n", ipText(address), ipText(gateway));
    }
    if ((productParams().compat_id & kCompatIpv6) && netParamOn("ipv6")) applyIpv6Settings();
  }
  if (netFeatures() & FEATURE_ACCCTRL) applyVlanSettings();
  return 1;
}
