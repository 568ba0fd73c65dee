// The little a socket needs to know of a network interface: its name and
// its current IPv4 address (of the plain interface or of one of its VLAN
// devices). The network interface object of the net layer implements it, so
// the runtime's sockets can refer to an interface without depending on that
// layer.
#ifndef RUNTIME_SOCKET_INTERFACEVIEW_H
#define RUNTIME_SOCKET_INTERFACEVIEW_H

class IpAddress;

class InterfaceView {
 public:
  virtual ~InterfaceView() = default;

  // The interface name ("eth0").
  virtual const char* name() const = 0;
  // The IPv4 address of the named device, else of the interface (vid < 0)
  // or of its VLAN device with that id. out stays as the caller set it on
  // failure; 1 when out holds a non-zero address.
  virtual int getAddress(IpAddress& out, const char* name, int vid) = 0;
};

#endif
