// MII register access to the Ethernet PHY at the model's address phy0_addr.
#include <linux/mii.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <sys/ioctl.h>

#include "net/interface/ifrequest.h"
#include "net/interface/linkstate.h"
#include "net/interface/netinterface.h"
#include "params/identity/productparams.h"

int NetInterface::accessPhyRegister(int write, int reg, uint16_t* value) {
  const int phy = static_cast<int>(productParams().phy0_addr);
  if (!write) return readMiiRegister(socket_, name_, phy, reg, value);
  ifreq req;
  prepareRequest(req, name_);
  mii_ioctl_data* mii = reinterpret_cast<mii_ioctl_data*>(&req.ifr_ifru);
  mii->phy_id = static_cast<uint16_t>(phy);
  mii->reg_num = static_cast<uint16_t>(reg);
  mii->val_in = *value;
  return ::ioctl(socket_, SIOCSMIIREG, &req) < 0 ? 0 : 1;
}

// Clause 45 registers through the clause 22 MMD access registers 13 and 14.
int NetInterface::accessMmdRegister(int device, int reg, int write, uint16_t* value) {
  uint16_t word = static_cast<uint16_t>(device);
  if (!accessPhyRegister(1, 13, &word)) return 0;
  word = static_cast<uint16_t>(reg);
  if (!accessPhyRegister(1, 14, &word)) return 0;
  word = static_cast<uint16_t>(device | 0x4000);
  if (!accessPhyRegister(1, 13, &word)) return 0;
  if (!write) return accessPhyRegister(0, 14, value);
  uint16_t scratch = 0;
  if (!accessPhyRegister(0, 14, &scratch)) return 0;
  return accessPhyRegister(1, 14, value);
}

// A PHY answers when toggling the loopback bit of its control register
// reads back changed; the first value is restored.
int NetInterface::probePhy() {
  uint16_t first = 0;
  uint16_t second = 0;
  if (!accessPhyRegister(0, MII_BMCR, &first)) return 0;
  uint16_t toggled = static_cast<uint16_t>(first ^ BMCR_LOOPBACK);
  if (!accessPhyRegister(1, MII_BMCR, &toggled)) return 0;
  if (!accessPhyRegister(0, MII_BMCR, &second)) return 0;
  uint16_t restored = static_cast<uint16_t>(second ^ BMCR_LOOPBACK);
  if (!accessPhyRegister(1, MII_BMCR, &restored)) return 0;
  return first != second ? 1 : 0;
}
