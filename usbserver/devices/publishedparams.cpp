#include "usbserver/devices/publishedparams.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "params/identity/productparams.h"
#include "params/store/paramstore.h"
#include "params/types/intparam.h"
#include "params/types/paramflags.h"
#include "params/types/stringparam.h"
#include "usbserver/devices/portpower.h"
#include "usbserver/devices/usbdevicetable.h"

std::atomic<int32_t> usbPortUseCounters[20];
std::atomic<int32_t> usbConnectedCount{0};

namespace {

std::atomic<const UsbEventHooks*> eventHooks{nullptr};
std::atomic<uint32_t> ownerAddresses[USB_TABLE_ROWS];

// 088e:5036 stays off this long after its release when the port has no
// power-off time of its own.
constexpr int kLongPowerOffTicks = 300;

uint32_t swFeatures() {
  IntParam* p = paramStore.findInt("sw_features");
  return p ? static_cast<uint32_t>(p->value()) : 0;
}

bool validRowAndPort(int row) {
  if (!isUsbRowIndexValid(row)) return false;
  const int port = usbDeviceTable[row].port;
  return port >= 1 && port <= static_cast<int>(productParams().usb_ports_phy) && port <= 20;
}

void setRowText(const char* stem, int row, const char* text) {
  if (StringParam* p = paramStore.findString((stem + std::to_string(row + 1)).c_str()))
    p->setStatusValue(text);
}

void setRowNumber(const char* stem, int row, int value) {
  if (IntParam* p = paramStore.findInt((stem + std::to_string(row + 1)).c_str())) p->setStatusValue(value);
}

std::string rowText(const char* stem, int row, const char* missing) {
  StringParam* p = paramStore.findString((stem + std::to_string(row + 1)).c_str());
  return p ? p->getText() : std::string(missing);
}

void pushEvent(uint32_t code, int row, const char* owner) {
  const UsbEventHooks* hooks = eventHooks.load();
  if (!hooks || !hooks->pushDeviceEvent) return;
  const UsbDeviceRow& r = usbDeviceTable[row];
  hooks->pushDeviceEvent({code, r.port, r.manufacturer, r.product, r.serial, owner});
}

void signalRelay(int port, int port1Code) {
  const UsbEventHooks* hooks = eventHooks.load();
  if (hooks && hooks->signalRelayEvent) hooks->signalRelayEvent(port == 1 ? port1Code : port1Code * 16);
}

void setPortLed(int port, int state) {
  const UsbBoardHooks* hooks = usbBoardHooks();
  if (hooks && hooks->setPortLed) hooks->setPortLed(port, state);
}

void formatOwnerAddress(uint32_t word, char* out, int size) {
  if (!word) {
    std::snprintf(out, static_cast<size_t>(size), "----");
    return;
  }
  const uint8_t* b = reinterpret_cast<const uint8_t*>(&word);
  std::snprintf(out, static_cast<size_t>(size), "%03d.%03d.%03d.%03d", b[0], b[1], b[2], b[3]);
}

}  // namespace

void setUsbEventHooks(const UsbEventHooks* hooks) { eventHooks.store(hooks); }

void resetUsbPortUseCounters() {
  for (auto& c : usbPortUseCounters) c.store(0);
  usbConnectedCount.store(0);
}

bool hasUsbPortLeds() {
  switch (productParams().product_id) {
    case 332: case 337: case 339: case 345: case 347: case 353: case 356: case 365: case 366: case 367:
      return true;
    default:
      return false;
  }
}

void noteUsbRowOwnerAddress(int row, uint32_t ip4Word) {
  if (row >= 0 && row < USB_TABLE_ROWS) ownerAddresses[row].store(ip4Word);
}

void publishUsbDeviceAdded(int row) {
  if (!validRowAndPort(row)) return;
  UsbDeviceRow& r = usbDeviceTable[row];
  const int port = r.port;
  pushEvent(USB_EVENT_ATTACHED, row, nullptr);
  int cardReader = 0;
  if (port == 1 && queryUsbCardReader(&cardReader)) return;  // port 1 is the card reader's
  if (hasUsbPortLeds()) {
    if (usbPortUseCounters[port - 1].fetch_add(100) == 0) setPortLed(port, 1);
    const UsbBoardHooks* hooks = usbBoardHooks();
    if ((swFeatures() & FEATURE_BEEPER) && hooks && hooks->beep) hooks->beep();
  }
  setRowText("usb_manu_", row, r.manufacturer[0] ? r.manufacturer : "?");
  setRowText("usb_prod_", row, r.product[0] ? r.product : "?");
  setRowText("usb_sern_", row, r.serial[0] ? r.serial : "?");
  setRowNumber("usb_slot_", row, port);
  char id[8];
  std::snprintf(id, sizeof id, "%04x", r.idVendor & 0xffff);
  setRowText("usb_vendid_", row, id);
  std::snprintf(id, sizeof id, "%04x", r.idProduct & 0xffff);
  setRowText("usb_prodid_", row, id);
  setRowText("usb_owner_", row, "Available");
  signalRelay(port, USB_RELAY_ATTACHED);
}

void publishUsbDeviceRemoved(int row) {
  if (!validRowAndPort(row)) return;
  const int port = usbDeviceTable[row].port;
  pushEvent(USB_EVENT_DETACHED, row, nullptr);
  if (hasUsbPortLeds()) {
    std::atomic<int32_t>& counter = usbPortUseCounters[port - 1];
    int32_t value = counter.fetch_sub(100) - 100;
    // Connections counted without a device, or a count gone below zero,
    // leave nothing to show.
    if ((value >= 1 && value <= 99) || (value < 0 && value % 100 == 0)) {
      counter.store(0);
      value = 0;
    }
    if (value == 0) setPortLed(port, 0);
  }
  setRowText("usb_manu_", row, "-");
  setRowText("usb_prod_", row, "-");
  setRowText("usb_sern_", row, "-");
  setRowText("usb_owner_", row, "-");
  setRowText("usb_vendid_", row, "");
  setRowText("usb_prodid_", row, "");
  setRowNumber("usb_slot_", row, 0);
  signalRelay(port, USB_RELAY_DETACHED);
}

void publishUsbDeviceConnected(int row, const char* clientName) {
  if (!validRowAndPort(row)) return;
  const int port = usbDeviceTable[row].port;
  if (hasUsbPortLeds()) {
    if (usbPortUseCounters[port - 1].fetch_add(1) % 100 == 0) setPortLed(port, 2);
  } else {
    const UsbBoardHooks* hooks = usbBoardHooks();
    if (hooks && hooks->showUsbInUse) hooks->showUsbInUse();
    usbConnectedCount.fetch_add(1);
  }
  char inUse[4];
  char address[20];
  if (getUsbDeviceInfo(row, 5, inUse, sizeof inUse) > 0 && getUsbDeviceInfo(row, 4, address, sizeof address) > 0) {
    char owner[80];
    if (clientName && clientName[0])
      std::snprintf(owner, sizeof owner, "%s (%s)", clientName, address);
    else
      std::snprintf(owner, sizeof owner, "%s", address);
    setRowText("usb_owner_", row, owner);
  }
  pushEvent(USB_EVENT_CONNECTED, row, rowText("usb_owner_", row, "- ? -").c_str());
  signalRelay(port, USB_RELAY_CONNECTED);
}

void publishUsbDeviceReleased(int row) {
  if (!validRowAndPort(row)) return;
  UsbDeviceRow& r = usbDeviceTable[row];
  const int port = r.port;
  if (hasUsbPortLeds()) {
    std::atomic<int32_t>& counter = usbPortUseCounters[port - 1];
    int32_t value = counter.load();
    if (value % 100 != 0) value = counter.fetch_sub(1) - 1;
    if (value % 100 == 0) {
      setPortLed(port, value >= 100 ? 1 : 0);
      int ticks = 0;
      if (IntParam* p = paramStore.findInt(("zov_poffdura_" + std::to_string(port)).c_str()))
        ticks = p->value() * 10;
      if (ticks == 0 && r.needsLongPowerOff()) ticks = kLongPowerOffTicks;
      if (ticks > 0) powerOffUsbPortFor(port - 1, ticks);
    }
  } else if (usbConnectedCount.fetch_sub(1) - 1 == 0) {
    const UsbBoardHooks* hooks = usbBoardHooks();
    if (hooks && hooks->showAddressPattern) hooks->showAddressPattern();
  }
  pushEvent(USB_EVENT_DISCONNECTED, row, rowText("usb_owner_", row, "- ? -").c_str());
  setRowText("usb_owner_", row, "Available");
  ownerAddresses[row].store(0);
  signalRelay(port, USB_RELAY_RELEASED);
}

int getUsbDeviceInfo(int row, int item, char* out, int size) {
  if (!out || size <= 0 || !isUsbRowIndexValid(row)) return -1;
  lockUsbDeviceTable(1);
  const UsbDeviceRow& r = usbDeviceTable[row];
  if (!r.isPresent()) {
    lockUsbDeviceTable(0);
    return -1;
  }
  out[0] = 0;
  const size_t room = static_cast<size_t>(size);
  switch (item) {
    case 1: case 2: case 3: {
      const char* text = item == 1 ? r.manufacturer : item == 2 ? r.product : r.serial;
      if (std::strlen(text) < room) std::snprintf(out, room, "%s", text);
      break;
    }
    case 4:
      formatOwnerAddress(ownerAddresses[row].load(), out, size);
      break;
    case 5:
      if (r.rowState() == UsbRowState::IN_USE) std::snprintf(out, room, "1");
      break;
    case 6:
      std::snprintf(out, room, "0x%04X", r.idProduct & 0xffff);
      break;
    case 7:
      std::snprintf(out, room, "0x%04X", r.idVendor & 0xffff);
      break;
    default:
      std::snprintf(out, room, "id err !!");
      break;
  }
  lockUsbDeviceTable(0);
  return static_cast<int>(std::strlen(out));
}
