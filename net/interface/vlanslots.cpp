// The VLAN slot table: slot 0 the management VLAN, slot n the VLAN of USB
// port n. Several slots may share one VLAN id: the first takes the VLAN
// device's own name (eth0.7), the others aliases on it (eth0.7:0, ...).
// The device lives as long as any slot uses its id.
#include <cstdio>

#include "net/interface/netinterface.h"
#include "net/interface/netparams.h"
#include "params/identity/productparams.h"
#include "params/types/paramflags.h"
#include "runtime/file/paths.h"
#include "runtime/socket/ipaddress.h"
#include "runtime/task/task.h"

namespace {

class SlotTableLock {
 public:
  explicit SlotTableLock(pthread_mutex_t& mutex) : mutex_(mutex) { pthread_mutex_lock(&mutex_); }
  ~SlotTableLock() { pthread_mutex_unlock(&mutex_); }
  SlotTableLock(const SlotTableLock&) = delete;
  SlotTableLock& operator=(const SlotTableLock&) = delete;

 private:
  pthread_mutex_t& mutex_;
};

bool validSlot(int slot) { return slot >= 0 && slot < kVlanSlotCount; }

// Keeps the alias addresses of a VLAN device when the address on the
// device's own name is removed while other slots still use the device.
void promoteSecondaries(const char* device) {
  char path[96];
  std::snprintf(path, sizeof path, "/proc/sys/net/ipv4/conf/%s/promote_secondaries", device);
  FILE* file = std::fopen(mapPath(path).c_str(), "w");
  if (!file) return;
  std::fputc('1', file);
  std::fclose(file);
}

}  // namespace

int NetInterface::slotLimit() const {
  const uint32_t ports = productParams().usb_ports_phy;
  return ports < kVlanSlotCount ? static_cast<int>(ports) : kVlanSlotCount - 1;
}

int NetInterface::usersOfVlan(int vid, int exceptSlot) const {
  int users = 0;
  for (int n = 0; n < kVlanSlotCount; ++n)
    if (n != exceptSlot && vlanSlots_[n].address != 0 && vlanSlots_[n].vlanId == vid) ++users;
  return users;
}

// The lowest label not held by another slot of the same id: the device's own
// name (-1) first for a tagged id, then the aliases 0, 1, ...
int NetInterface::lowestFreeAlias(int vid, int exceptSlot) const {
  for (int alias = vid >= 0 ? -1 : 0;; ++alias) {
    bool taken = false;
    for (int n = 0; n < kVlanSlotCount && !taken; ++n) {
      const VlanSlot& other = vlanSlots_[n];
      taken = n != exceptSlot && other.address != 0 && other.vlanId == vid && other.alias == alias;
    }
    if (!taken) return alias;
  }
}

int NetInterface::configureVlanSlot(int slot, uint32_t address, uint32_t netmask, uint32_t gateway, int vid) {
  if (!validSlot(slot)) return 0;
  SlotTableLock guard(slotMutex_);
  return configureSlotLocked(slot, address, netmask, gateway, vid);
}

int NetInterface::configureSlotLocked(int slot, uint32_t address, uint32_t netmask, uint32_t gateway, int vid) {
  // Ids above 4096 have no device name of their own: the slot's address
  // would land on the plain interface.
  if (vid > 4096) return 0;
  VlanSlot& entry = vlanSlots_[slot];
  if (entry.address == address && entry.netmask == netmask && entry.gateway == gateway && entry.vlanId == vid)
    return 0;
  const int released = releaseSlotLocked(slot);
  // An address of 0 marks a free slot: nothing to set up.
  if (address == 0) return released;

  const bool firstUser = usersOfVlan(vid, slot) == 0;
  entry = VlanSlot{address, netmask, gateway, vid, lowestFreeAlias(vid, slot)};

  char device[kInterfaceNameSize];
  formatVlanName(device, vid, entry.alias);
  if (vid >= 0 && firstUser) {
    createVlanDevice(vid);
    bringUp(device);
    promoteSecondaries(device);
  }
  IpAddress value;
  setAddress(value.fromIp4Word(address), device);
  setNetmask(value.fromIp4Word(netmask), device);
  addRoute(0, gateway, 0, device);
  return 1;
}

int NetInterface::releaseVlanSlot(int slot) {
  if (!validSlot(slot)) return 0;
  SlotTableLock guard(slotMutex_);
  return releaseSlotLocked(slot);
}

int NetInterface::releaseSlotLocked(int slot) {
  VlanSlot& entry = vlanSlots_[slot];
  if (entry.address == 0) return 0;
  char device[kInterfaceNameSize];
  formatVlanName(device, entry.vlanId, entry.alias);
  const bool lastUser = usersOfVlan(entry.vlanId, slot) == 0;

  if (entry.vlanId >= 0 && lastUser) {
    char vlanDevice[kInterfaceNameSize];
    formatVlanName(vlanDevice, entry.vlanId, -1);
    bringDown(vlanDevice);
    removeVlanDevice(vlanDevice);
  } else if (entry.alias >= 0) {
    // Taking an alias down removes its address only.
    bringDown(device);
  } else {
    // Other slots still use the device: only this slot's address goes.
    clearAddress(device);
  }
  entry.address = 0;
  return 1;
}

void NetInterface::releaseAllVlanSlots() {
  SlotTableLock guard(slotMutex_);
  for (int n = 0; n < kVlanSlotCount; ++n) releaseSlotLocked(n);
}

int NetInterface::applyVlanSettings() {
  if (!(netFeatures() & FEATURE_IP4VLAN)) return 0;
  bool changed = false;
  {
    SlotTableLock guard(slotMutex_);
    const int ports = slotLimit();
    const bool management = netParamOn("ip4vlan_mgmt");
    if (!management && releaseSlotLocked(0)) changed = true;

    bool portOn[kVlanSlotCount] = {};
    for (int n = 1; n <= ports; ++n) {
      portOn[n] = netParamOn("ip4vlan_on_", n);
      if (!portOn[n] && releaseSlotLocked(n)) changed = true;
    }

    if (management) {
      IpAddress address, mask, gateway;
      netParamAddress("ip_addr", address);
      netParamAddress("ip_mask", mask);
      netParamAddress("ip_gate", gateway);
      const int vid = netParamInt("ip4vlan_mgmt_id", 0);
      if (configureSlotLocked(0, address.ip4Word(), mask.ip4Word(), gateway.ip4Word(), vid)) changed = true;
    }

    for (int n = 1; n <= ports; ++n) {
      if (!portOn[n]) continue;
      IpAddress address, mask, gateway;
      if (!netParamAddress("ip4vlan_addr_", address, n) || !netParamAddress("ip4vlan_mask_", mask, n) ||
          !netParamAddress("ip4vlan_gate_", gateway, n) || !netParamExists("ip4vlan_id_", n) ||
          !address.isSet())
        continue;
      const int vid = netParamInt("ip4vlan_id_", 0, n);
      if (configureSlotLocked(n, address.ip4Word(), mask.ip4Word(), gateway.ip4Word(), vid)) changed = true;
    }
  }
  if (changed) {
    TaskMessage message{};
    message.flags = MSG_PARAMS_CHANGED;
    broadcastToTasks(message);
  }
  return 1;
}
