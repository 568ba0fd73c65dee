#include "usbserver/protocol/handlersupport.h"

#include "params/store/paramstore.h"
#include "params/types/intparam.h"
#include "params/types/paramflags.h"
#include "platform/usb/usbhost.h"
#include "usbserver/connections/usbconnection.h"
#include "usbserver/devices/usbdevicetable.h"
#include "usbserver/protocol/wireprotocol.h"

RowUse rowUseFor(const UsbConnection& c, int row, int port) {
  if (!isUsbDevicePresentOnPort(row, port)) return RowUse::Absent;
  const UsbDeviceRow& r = usbDeviceTable[row];
  muxIn(row);
  RowUse use = RowUse::Free;
  if (!r.isPresent() || r.port != port) use = RowUse::Absent;
  else if (r.rowState() == UsbRowState::IN_USE) use = r.owner == &c ? RowUse::Mine : RowUse::Theirs;
  unlockUsbDeviceRow(row);
  return use;
}

bool readBody(UsbConnection& c, void* buffer, int n) { return c.readFully(buffer, n, USB_IO_TIMEOUT_MS) == n; }

int sendStatusFor(UsbConnection& c, const UsbRequestHeader& h, int32_t error) {
  return c.sendStatus(h, error ? USB_STATUS_FAILED : USB_STATUS_OK, error);
}

bool beginRowRequest(UsbConnection& c, const UsbRequestHeader& h, void* body, int n, int* row, RowUse* use,
                     int* result, bool answerShortBody) {
  if (n < 2 || !readBody(c, body, n)) {
    *result = answerShortBody ? c.sendStatus(h, USB_STATUS_FAILED, USB_ERR_PROTO) : -1;
    return false;
  }
  const auto* bytes = static_cast<const uint8_t*>(body);
  *row = bytes[0];
  *use = rowUseFor(c, *row, bytes[1]);
  if (*use == RowUse::Absent) {
    *result = c.sendStatus(h, USB_STATUS_FAILED, USB_ERR_NODEV);
    return false;
  }
  if (*use == RowUse::Theirs) {
    *result = c.sendStatus(h, USB_STATUS_REFUSED, USB_REFUSED_OWNED);
    return false;
  }
  return true;
}

void releaseCurrentInterfaces(int row, int handle) {
  if (handle < 0 || !isUsbRowIndexValid(row)) return;
  const UsbDeviceRow& r = usbDeviceTable[row];
  const UsbConfigEntry* entry = r.descriptors.entry(r.currentConfigIndex);
  if (!entry) return;
  const int n = entry->numInterfaces() < USB_MAX_CONFIG_INTERFACES ? entry->numInterfaces() : USB_MAX_CONFIG_INTERFACES;
  for (int i = 0; i < n; ++i) usbHost().releaseInterface(handle, entry->interfaces[i]);
}

bool usbPowerSwitchModel() {
  IntParam* p = paramStore.findInt("sw_features");
  return p && (static_cast<uint32_t>(p->value()) & FEATURE_POSWITCH) != 0;
}
