// Where NetInterface::getLinkState reads the link bit of a PHY.
//
// The real source is the MII register set (SIOCGMIIREG). Interfaces whose
// driver answers no MII requests (a veth in host mode) use the carrier
// stand-in, which answers the PHY status registers from the carrier flag:
// the same link word MII would give for the model's PHYs while the carrier
// is up, no link while it is down.
#ifndef NET_INTERFACE_LINKSTATE_H
#define NET_INTERFACE_LINKSTATE_H

#include <cstdint>

class NetInterface;

// MII register 17 (PHY specific status) and its link bit.
constexpr int kPhyStatusRegister = 17;
constexpr uint16_t kPhyStatusLink = 0x400;

class LinkRegisterSource {
 public:
  // Reads register reg of PHY phy behind the interface; 1 on success.
  virtual int readRegister(NetInterface& nif, int phy, int reg, uint16_t* value) = 0;

 protected:
  ~LinkRegisterSource() = default;
};

// SIOCGMIIREG on the interface.
LinkRegisterSource& miiLinkRegisters();
// Register 17 (link bit) and BMSR (link status) from the carrier; other
// registers are not answered.
LinkRegisterSource& carrierLinkRegisters();
// MII where the driver answers it, else the carrier.
LinkRegisterSource& defaultLinkRegisters();

// One MII register read on an open socket (SIOCGMIIREG); 1 on success,
// 0 with errno from the request otherwise.
int readMiiRegister(int socketFd, const char* name, int phy, int reg, uint16_t* value);

#endif
