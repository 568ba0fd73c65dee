// Per-port access rules of the USB server and the two requests that apply
// them: DEVICE_LIST (which devices a client may see) and CONNECT (taking a
// device). The rules are read from the port parameters at every request.
//
// Ports are numbered 1 .. 20; rows are indexes of usbDeviceTable.
#ifndef USBSERVER_ACCESS_ACCESSCONTROL_H
#define USBSERVER_ACCESS_ACCESSCONTROL_H

#include <cstdint>

class UsbConnection;
struct UsbRequestHeader;

// --- Per-port checks (each 1 yes, 0 no) ---------------------------------------

// "%s:%s" of the row's usb_vendid_ and usb_prodid_ occurs in the port's
// zov_vendprodIDs_ (a missing parameter refuses).
int isDeviceIdAllowedOnPort(int row, int port);
// Row and port in range and, with the access mode "ids" or "keyids", the
// device filter allows the row's device.
int isUsbPortAccessAllowed(int row, int port);
// zov_2vlan_ of the port lets a connection accepted on VLAN id vlanId
// (-1: no VLAN) see it.
int isPortVisibleOnVlan(int port, int vlanId);
// The same for a connection (one without socket sees nothing).
int isPortVisibleOnConnectionVlan(int port, const UsbConnection* connection);
// zov_sec_ of the port is on: only TLS connections may connect it.
int isPortSecureOnly(int port);
// zov_prereset_ of the port is on: the device is reset before a connect.
int isPortPreResetEnabled(int port);
// Port 1 belongs to the card reader while the board reports it absent.
int isUsbPortUnavailable(int port);
// zov_accctrl_ asks for a key and zov_keyval_ has one.
int isPortKeyed(int port);

// --- Requests (called by the request dispatcher) ---------------------------------

// DEVICE_LIST (mode 1, the key answers in the payload) and
// DEVICE_LIST_LEGACY (mode 0). The number of records listed (0 for the
// legacy reply), or -1 when the connection must end.
int sendUsbDeviceList(UsbConnection& connection, const UsbRequestHeader& header, int mode);
// CONNECT: every access check first, then the takeover from a previous
// owner, the open and the OK reply. 0, or -1 when the connection must end.
int connectUsbDevice(UsbConnection& connection, const UsbRequestHeader& header);

#endif
