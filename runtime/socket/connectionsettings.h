// Where sockets read the settings that live above the runtime: the VLAN
// address parameters and the interface in use.
//
// The network layer installs the readers at start-up. Until then (and in
// tests that install nothing) every VLAN address reads as missing, the
// management VLAN as off and there is no interface in use.
#ifndef RUNTIME_SOCKET_CONNECTIONSETTINGS_H
#define RUNTIME_SOCKET_CONNECTIONSETTINGS_H

class InterfaceView;
class IpAddress;

struct ConnectionSettings {
  // The value of `ip4vlan_addr_<index>` into out; 0 when there is no such
  // parameter (out untouched).
  int (*vlanAddress)(int index, IpAddress& out);
  // `ip4vlan_mgmt_id` when `ip4vlan_mgmt` is on; negative when it is off.
  int (*managementVlan)();
  // The interface in use; null when none.
  InterfaceView* (*activeInterface)();
};

// Installs the readers; a null member falls back to the default above.
void setConnectionSettings(const ConnectionSettings& settings);

// The current values as the installed readers give them.
int connectionVlanAddress(int index, IpAddress& out);
int connectionManagementVlan();
InterfaceView* connectionActiveInterface();

#endif
