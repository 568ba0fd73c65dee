// The device table's calls into the connection side: freeing the transfers
// of a recycled row and taking a row from its owner.
#include "usbserver/devices/usbhooks.h"

#include "usbserver/connections/usbrowhandover.h"
#include "usbserver/devices/usbdevicerow.h"
#include "usbserver/devices/usbdevicetable.h"
#include "usbserver/transfers/urbengine.h"

void releaseUsbRowTransfers(UsbDeviceRow& row) {
  // A recycled row has no owner left; its handle closes with it.
  row.closeDevice();
  freeUrbList(row.transfers);
}

int UsbDeviceRow::revokeFromOwner() { return revokeRowFromOwner(usbRowIndexOf(this)); }
