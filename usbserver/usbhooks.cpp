// The device table's calls into the connection side: freeing the transfers
// of a recycled row and taking a row from its owner.
#include "usbserver/usbhooks.h"

#include "usbserver/urbengine.h"
#include "usbserver/usbdevicerow.h"
#include "usbserver/usbdevicetable.h"
#include "usbserver/usbrowhandover.h"

void releaseUsbRowTransfers(UsbDeviceRow& row) {
  // A recycled row has no owner left; its handle closes with it.
  row.closeDevice();
  freeUrbList(row.transfers);
}

int UsbDeviceRow::revokeFromOwner() { return revokeRowFromOwner(usbRowIndexOf(this)); }
