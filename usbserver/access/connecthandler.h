// CONNECT: a client takes a device. The handler (connectUsbDevice) is
// declared in accesscontrol.h; this is the check it runs before touching
// the row.
#ifndef USBSERVER_ACCESS_CONNECTHANDLER_H
#define USBSERVER_ACCESS_CONNECTHANDLER_H

#include <cstdint>

class UsbConnection;

// Whether connection may connect the device of row on port: 0 allowed,
// else the refusal reason (USB_REFUSED_NOT_ALLOWED for the device filter,
// the access key, the VLAN or a port that is unavailable;
// USB_REFUSED_TLS for a plain connection on a TLS-only port).
int32_t usbConnectRefusal(const UsbConnection& connection, int row, int port);

#endif
