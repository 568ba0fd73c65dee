// Calls from the device table into the parts of the USB service that act
// on device events and on client connections. UsbDeviceRow::revokeFromOwner
// (usbdevicerow.h) is defined with them.
#ifndef USBSERVER_DEVICES_USBHOOKS_H
#define USBSERVER_DEVICES_USBHOOKS_H

class UsbDeviceRow;

// A device was entered in row (index); announces it to the outside.
void publishUsbDeviceAdded(int row);
// The device of row (index) is gone; announces it to the outside.
void publishUsbDeviceRemoved(int row);
// Frees the transfer requests still linked to a row that is recycled;
// called with the row mutex held.
void releaseUsbRowTransfers(UsbDeviceRow& row);

#endif
