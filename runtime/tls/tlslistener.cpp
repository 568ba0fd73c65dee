#include "runtime/tls/tlslistener.h"

#include <sys/socket.h>

#include "runtime/socket/connectionsettings.h"
#include "runtime/tls/tlsconnection.h"
#include "runtime/tls/tlssettings.h"

namespace {

constexpr int kListenBacklog = 8;

// The VLAN id a listener of index uses: -1 the plain interface; below -1
// when the VLAN is off or unknown.
int listenerVlan(int index) {
  if (index < 1) return -1;
  const int id = index <= tlsUsbPortsPhy() ? tlsPortVlan(index) : connectionManagementVlan();
  return id >= 0 ? id : -2;
}

bool setUp(TlsConnection& c, int port, int index) {
  if (!c.open(index < 1 ? AF_INET6 : AF_INET, SOCK_STREAM, 0)) return false;
  if (!c.setReuseAddr() || !c.bindToInterface() || !c.bind(port, 1, index) || !c.setNonBlocking()) return false;
  const int maxseg = tlsTcpMaxseg();
  if (maxseg > 0 && !c.set_maxseg(maxseg)) return false;
  return c.listen(kListenBacklog) != 0;
}

}  // namespace

TlsConnection* openTcpListener(Task* owner, int port, InterfaceView* iface, int index) {
  if (port <= 0 || iface == nullptr) return nullptr;
  const int vlan = listenerVlan(index);
  if (vlan < -1) return nullptr;
  auto* listener = new TlsConnection(owner, iface, vlan);
  if (!setUp(*listener, port, index)) {
    delete listener;
    return nullptr;
  }
  return listener;
}
