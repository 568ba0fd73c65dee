#include "usbserver/access/accesscontrol.h"

#include <cstring>
#include <string>

#include "params/identity/productparams.h"
#include "params/store/paramstore.h"
#include "params/types/intparam.h"
#include "params/types/onoffparam.h"
#include "params/types/p3list.h"
#include "params/types/stringparam.h"
#include "runtime/tls/tlsconnection.h"
#include "usbserver/connections/usbconnection.h"
#include "usbserver/devices/portpower.h"
#include "usbserver/devices/usbdevicetable.h"

namespace {

constexpr int kPorts = 20;

std::string portKey(const char* stem, int index) { return stem + std::to_string(index); }

// The access mode of the port is one of the texts (ignoring case).
bool accessModeIs(int port, const char* const* modes) {
  P3List* mode = paramStore.findList(portKey("zov_accctrl_", port).c_str());
  return mode && mode->equalsAny(modes);
}

bool portSwitchOn(const char* stem, int port) {
  OnOffParam* p = paramStore.findOnOff(portKey(stem, port).c_str());
  return p && p->isOn();
}

}  // namespace

int isDeviceIdAllowedOnPort(int row, int port) {
  StringParam* vendor = paramStore.findString(portKey("usb_vendid_", row + 1).c_str());
  StringParam* product = paramStore.findString(portKey("usb_prodid_", row + 1).c_str());
  StringParam* allowed = paramStore.findString(portKey("zov_vendprodIDs_", port).c_str());
  if (!vendor || !product || !allowed) return 0;
  const std::string id = vendor->getText() + ":" + product->getText();
  return allowed->getText().find(id) != std::string::npos ? 1 : 0;
}

int isUsbPortAccessAllowed(int row, int port) {
  if (!isUsbRowIndexValid(row) || port < 1 || port > kPorts) return 0;
  static const char* const kFiltered[] = {"ids", "keyids", nullptr};
  if (accessModeIs(port, kFiltered)) return isDeviceIdAllowedOnPort(row, port);
  return 1;
}

int isPortVisibleOnVlan(int port, int vlanId) {
  IntParam* assigned = paramStore.findInt(portKey("zov_2vlan_", port).c_str());
  if (!assigned || assigned->value() <= 0) return 1;
  const int v = assigned->value();
  if (v <= static_cast<int>(productParams().usb_ports_phy)) {
    IntParam* id = paramStore.findInt(portKey("ip4vlan_id_", v).c_str());
    return vlanId == (id ? id->value() : -1) ? 1 : 0;
  }
  return vlanId == -1 ? 1 : 0;
}

int isPortVisibleOnConnectionVlan(int port, const UsbConnection* connection) {
  if (!connection || !connection->socket) return 0;
  return isPortVisibleOnVlan(port, connection->socket->vlan);
}

int isPortSecureOnly(int port) { return portSwitchOn("zov_sec_", port) ? 1 : 0; }

int isPortPreResetEnabled(int port) { return portSwitchOn("zov_prereset_", port) ? 1 : 0; }

int isUsbPortUnavailable(int port) {
  if (port != 1) return 0;
  int present = 0;
  return queryUsbCardReader(&present) && present == 0 ? 1 : 0;
}

int isPortKeyed(int port) {
  static const char* const kKeyed[] = {"key", "keyids", nullptr};
  if (port < 1 || port > kPorts || !accessModeIs(port, kKeyed)) return 0;
  StringParam* key = paramStore.findString(portKey("zov_keyval_", port).c_str());
  return key && key->hasValue() ? 1 : 0;
}
