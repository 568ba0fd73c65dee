// linkstate_probe [INTERFACE]
//
// The Ethernet link the way the program reads it: the raw MII registers
// (BMSR and the PHY specific status) of the model's PHY, then what
// NetInterface::getLinkState makes of them. One "key=value" per line.
// Exit code 0 link, 1 no link, 2 the state could not be read.
#include <errno.h>
#include <linux/mii.h>

#include <cstdio>
#include <cstring>

#include "net/interface/linkstate.h"
#include "net/interface/netinterface.h"
#include "params/identity/productparams.h"

namespace {

void printRegister(NetInterface& nif, int phy, int reg, const char* label) {
  uint16_t value = 0;
  if (readMiiRegister(nif.socketFd(), nif.name(), phy, reg, &value))
    std::printf("%s=0x%04x\n", label, value);
  else
    std::printf("%s=error %s\n", label, std::strerror(errno));
}

}  // namespace

int main(int argc, char** argv) {
  NetInterface nif;
  nif.setName(argc > 1 ? argv[1] : "eth0");
  if (!nif.openSocket()) {
    std::perror("socket");
    return 2;
  }
  const ProductParams& product = productParams();
  const int phy = static_cast<int>(product.phy0_addr);
  std::printf("interface=%s\nproduct=%u\nphy=%d\n", nif.name(), product.product_id, phy);
  printRegister(nif, phy, MII_BMSR, "bmsr");
  printRegister(nif, phy, kPhyStatusRegister, "phy_status");

  uint32_t mask = 0;
  const int link = nif.getLinkState(&mask);
  std::printf("link=%d\nmask=0x%x\n", link, mask);
  if (link == 1) return 0;
  return link == 0 ? 1 : 2;
}
