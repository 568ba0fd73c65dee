// Maker of 802.1Q VLAN devices for the VLAN slot table. The default is the
// kernel's VLAN ioctl (NetInterface::addVlan / deleteVlan); another maker
// can stand in where the kernel has no 802.1Q support.
#ifndef NET_INTERFACE_VLANDEVICECONTROL_H
#define NET_INTERFACE_VLANDEVICECONTROL_H

class NetInterface;

class VlanDeviceControl {
 public:
  // Creates the VLAN device of that id on the parent; 1 on success.
  virtual int create(NetInterface& parent, int vid) = 0;
  // Deletes the named VLAN device; 1 on success.
  virtual int remove(NetInterface& parent, const char* device) = 0;

 protected:
  ~VlanDeviceControl() = default;
};

#endif
