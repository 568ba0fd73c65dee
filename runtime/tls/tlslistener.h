// Listening sockets of the HTTP and USB servers.
#ifndef RUNTIME_TLS_TLSLISTENER_H
#define RUNTIME_TLS_TLSLISTENER_H

class InterfaceView;
class Task;
class TlsConnection;

// A non-blocking listening TlsConnection on port, bound to the interface's
// device: index < 1 the plain interface (IPv6 where available), 1 ..
// usb_ports_phy that USB port's VLAN (when switched on), above it the
// management VLAN (when on). Null when port <= 0, there is no interface,
// the VLAN is off or any step fails.
TlsConnection* openTcpListener(Task* owner, int port, InterfaceView* iface, int index);

#endif
