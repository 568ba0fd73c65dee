// The one object through which the program changes a Linux network interface:
// flags, IPv4 address and netmask, routes, 802.1Q VLAN devices, multicast MAC
// filters, the MAC address and the Ethernet PHY.
//
// Every single operation wraps one interface ioctl and returns 1 for success,
// 0 for failure. A name argument that is null means the object's own name.
// On top of them the object keeps the VLAN slot table (slot 0 the management
// VLAN, slot n the VLAN of USB port n) and restarts the interface.
//
// Lock order: the slot table lock, then the interface mutex, then the task
// table lock (setAddress broadcasts while it holds the interface mutex).
#ifndef NET_INTERFACE_NETINTERFACE_H
#define NET_INTERFACE_NETINTERFACE_H

#include <pthread.h>

#include <cstdint>

#include "runtime/socket/interfaceview.h"

class IpAddress;
class VlanDeviceControl;
class LinkRegisterSource;

// Number of VLAN slots: the management VLAN and one per USB port (1..20).
constexpr int kVlanSlotCount = 21;
// Interface names are at most 15 characters plus the terminator.
constexpr int kInterfaceNameSize = 16;

struct VlanSlot {
  uint32_t address;  // network order; 0 = slot free
  uint32_t netmask;  // network order
  uint32_t gateway;  // network order; 0 = on-link default route
  int32_t vlanId;    // 802.1Q id; negative = untagged (aliases of the interface)
  int32_t alias;     // -1 = the VLAN device's own name; 0 or more = alias number
};

// Seen by the runtime's sockets through InterfaceView (name, getAddress).
class NetInterface : public InterfaceView {
 public:
  NetInterface();
  ~NetInterface();  // closes the socket
  NetInterface(const NetInterface&) = delete;
  NetInterface& operator=(const NetInterface&) = delete;

  // The interface name ("eth0", "wlan0"); at most 15 characters are kept.
  void setName(const char* name);
  const char* name() const override { return name_; }
  int socketFd() const { return socket_; }

  int openSocket();
  void closeSocket();

  // Flags.
  int getFlags(uint16_t& flags, const char* name = nullptr);
  int setFlags(uint16_t flags, const char* name = nullptr);
  int isUp(const char* name, int needRunning);
  int isRunning();
  int bringDown(const char* name = nullptr);
  int bringUp(const char* name = nullptr);

  // IPv4 address and netmask. getAddress reads the given name, else the
  // interface (vid < 0) or its VLAN device of that id; out stays as the
  // caller set it on failure; 1 when out holds a non-zero address.
  int getAddress(IpAddress& out, const char* name, int vid) override;
  int setAddress(const IpAddress& address, const char* name = nullptr);
  int setNetmask(const IpAddress& mask, const char* name = nullptr);
  int getMacAddress(uint8_t mac[6]);
  int setMetric(int metric, const char* name);

  // Routes (words in network order).
  int addRoute(uint32_t destination, uint32_t gateway, uint32_t genmask, const char* device);
  int deleteDefaultRoute(uint32_t gateway);
  int routeLinkLocal();

  // VLAN devices and multicast filters.
  int addVlan(int vid);
  int deleteVlan(const char* device);
  int formatVlanName(char* out, int vid, int alias) const;  // out: kInterfaceNameSize bytes
  int addMulticastAddress(const IpAddress& group, int vid);

  // The VLAN slot table.
  int configureVlanSlot(int slot, uint32_t address, uint32_t netmask, uint32_t gateway, int vid);
  int releaseVlanSlot(int slot);
  void releaseAllVlanSlots();
  int applyVlanSettings();
  VlanSlot vlanSlot(int slot) const;  // a copy; a free slot for an index out of range

  // Down, up, routes, IPv6 and VLANs again.
  int restart();

  // IPv6 from the parameters: autoconfiguration switches, the static
  // address and the on-link route of the gateway's prefix. The update calls
  // add the remembered values, or remove them.
  void applyIpv6Settings();
  void updateIpv6Address(int add);
  void updateIpv6Route(int add);

  // The Ethernet PHY at the model's address phy0_addr.
  int accessPhyRegister(int write, int reg, uint16_t* value);
  int accessMmdRegister(int device, int reg, int write, uint16_t* value);
  int probePhy();
  // 1 when a PHY reports link; mask (may be null) gets bit n for PHY n.
  int getLinkState(uint32_t* mask);

  void lock();
  void unlock();

  // Replaces the VLAN device maker (null: the kernel's 802.1Q ioctl) and the
  // source of the PHY link register (null: MII where the driver answers it,
  // else the carrier). Set before the object is shared between threads.
  void setVlanDeviceControl(VlanDeviceControl* control) { vlanControl_ = control; }
  void setLinkRegisterSource(LinkRegisterSource* source) { linkSource_ = source; }

  // Unused request helpers kept for completeness: one fills an interface
  // request with the name and returns 1, the other does nothing and returns 0.
  int fillRequest(void* ifreqOut) const;
  int noOperation() const { return 0; }

 private:
  const char* nameOr(const char* name) const { return name ? name : name_; }
  int releaseSlotLocked(int slot);
  int configureSlotLocked(int slot, uint32_t address, uint32_t netmask, uint32_t gateway, int vid);
  int usersOfVlan(int vid, int exceptSlot) const;
  int lowestFreeAlias(int vid, int exceptSlot) const;
  int slotLimit() const;
  int createVlanDevice(int vid);
  int removeVlanDevice(const char* device);
  int clearAddress(const char* name);

  int socket_;
  char name_[kInterfaceNameSize];
  pthread_mutex_t mutex_;
  VlanSlot vlanSlots_[kVlanSlotCount];
  mutable pthread_mutex_t slotMutex_;  // serialises the slot table's writers
  VlanDeviceControl* vlanControl_;
  LinkRegisterSource* linkSource_;
};

// The Ethernet ("eth0") and WLAN ("wlan0") interfaces, and the one in use,
// chosen once by the start-up.
extern NetInterface lanInterface;
extern NetInterface wlanInterface;
extern NetInterface* activeInterface;

// Writes "1" to the interface's arp_ignore switch; 1 when the byte was written.
int setArpIgnore(const char* name);

#endif
