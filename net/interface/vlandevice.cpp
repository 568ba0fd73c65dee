// 802.1Q VLAN devices and the names of VLAN devices and aliases.
#include <linux/if_vlan.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>

#include <cstdio>
#include <cstring>

#include "net/interface/netinterface.h"
#include "net/interface/vlandevicecontrol.h"

int NetInterface::addVlan(int vid) {
  if (vid > 4096) return 0;
  vlan_ioctl_args args;
  std::memset(&args, 0, sizeof args);
  args.cmd = ADD_VLAN_CMD;
  std::snprintf(args.device1, sizeof args.device1, "%s", name_);
  args.u.VID = vid;
  lock();
  int rc = ::ioctl(socket_, SIOCSIFVLAN, &args);
  unlock();
  return rc < 0 ? 0 : 1;
}

int NetInterface::deleteVlan(const char* device) {
  vlan_ioctl_args args;
  std::memset(&args, 0, sizeof args);
  args.cmd = DEL_VLAN_CMD;
  std::snprintf(args.device1, sizeof args.device1, "%s", device ? device : "");
  lock();
  int rc = ::ioctl(socket_, SIOCSIFVLAN, &args);
  unlock();
  return rc < 0 ? 0 : 1;
}

int NetInterface::formatVlanName(char* out, int vid, int alias) const {
  int length = std::snprintf(out, kInterfaceNameSize, "%s", name_);
  if (vid >= 0 && vid <= 4096 && length < kInterfaceNameSize)
    length += std::snprintf(out + length, kInterfaceNameSize - length, ".%d", vid);
  if (alias >= 0 && alias < 100 && length < kInterfaceNameSize)
    length += std::snprintf(out + length, kInterfaceNameSize - length, ":%d", alias);
  return length < kInterfaceNameSize ? length : kInterfaceNameSize - 1;
}

int NetInterface::createVlanDevice(int vid) {
  return vlanControl_ ? vlanControl_->create(*this, vid) : addVlan(vid);
}

int NetInterface::removeVlanDevice(const char* device) {
  return vlanControl_ ? vlanControl_->remove(*this, device) : deleteVlan(device);
}
