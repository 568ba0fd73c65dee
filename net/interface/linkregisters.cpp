// The sources of the PHY link registers: MII and the carrier stand-in.
#include <errno.h>
#include <linux/ethtool.h>
#include <linux/mii.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <sys/ioctl.h>

#include "net/interface/ifrequest.h"
#include "net/interface/linkstate.h"
#include "net/interface/netinterface.h"

int readMiiRegister(int socketFd, const char* name, int phy, int reg, uint16_t* value) {
  ifreq req;
  prepareRequest(req, name);
  mii_ioctl_data* mii = reinterpret_cast<mii_ioctl_data*>(&req.ifr_ifru);
  mii->phy_id = static_cast<uint16_t>(phy);
  mii->reg_num = static_cast<uint16_t>(reg);
  if (::ioctl(socketFd, SIOCGMIIREG, &req) < 0) return 0;
  *value = mii->val_out;
  return 1;
}

namespace {

// The carrier as the driver keeps it (ETHTOOL_GLINK); drivers without that
// request give IFF_RUNNING, which follows the carrier a moment later.
int readCarrier(NetInterface& nif, bool* up) {
  ethtool_value value{ETHTOOL_GLINK, 0};
  ifreq req;
  prepareRequest(req, nif.name());
  req.ifr_data = reinterpret_cast<char*>(&value);
  if (::ioctl(nif.socketFd(), SIOCETHTOOL, &req) == 0) {
    *up = value.data != 0;
    return 1;
  }
  if (errno != EOPNOTSUPP) return 0;
  uint16_t flags = 0;
  if (!nif.getFlags(flags, nullptr)) return 0;
  *up = (flags & IFF_RUNNING) != 0;
  return 1;
}

class MiiLinkRegisters : public LinkRegisterSource {
 public:
  int readRegister(NetInterface& nif, int phy, int reg, uint16_t* value) override {
    return readMiiRegister(nif.socketFd(), nif.name(), phy, reg, value);
  }
};

class CarrierLinkRegisters : public LinkRegisterSource {
 public:
  int readRegister(NetInterface& nif, int, int reg, uint16_t* value) override {
    if (reg != kPhyStatusRegister && reg != MII_BMSR) return 0;
    bool carrier = false;
    if (!readCarrier(nif, &carrier)) return 0;
    if (reg == kPhyStatusRegister)
      *value = carrier ? kPhyStatusLink : 0;
    else
      *value = carrier ? BMSR_LSTATUS : 0;
    return 1;
  }
};

// Drivers without MII support refuse the request with EOPNOTSUPP; every
// other failure (no such interface, PHY error) stays a failure.
class DefaultLinkRegisters : public LinkRegisterSource {
 public:
  int readRegister(NetInterface& nif, int phy, int reg, uint16_t* value) override {
    if (miiLinkRegisters().readRegister(nif, phy, reg, value)) return 1;
    if (errno != EOPNOTSUPP) return 0;
    return carrierLinkRegisters().readRegister(nif, phy, reg, value);
  }
};

}  // namespace

LinkRegisterSource& miiLinkRegisters() {
  static MiiLinkRegisters source;
  return source;
}

LinkRegisterSource& carrierLinkRegisters() {
  static CarrierLinkRegisters source;
  return source;
}

LinkRegisterSource& defaultLinkRegisters() {
  static DefaultLinkRegisters source;
  return source;
}
