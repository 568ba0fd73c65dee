// The request handlers of the opcodes served by the connection itself
// (DEVICE_LIST and CONNECT are the access control's). Each reads its body,
// acts and replies: 0, or -1 when the connection must end.
#ifndef USBSERVER_PROTOCOL_USBHANDLERS_H
#define USBSERVER_PROTOCOL_USBHANDLERS_H

class UsbConnection;
struct UsbRequestHeader;

int sendLegacyHello(UsbConnection& c, const UsbRequestHeader& h);
int sendHello(UsbConnection& c, const UsbRequestHeader& h);
int keepAlive(UsbConnection& c, const UsbRequestHeader& h);
int sendInUseMap(UsbConnection& c, const UsbRequestHeader& h);
int sendDeviceName(UsbConnection& c, const UsbRequestHeader& h);
int sendUsbTagList(UsbConnection& c, const UsbRequestHeader& h);
int sendPortStatus(UsbConnection& c, const UsbRequestHeader& h);
int claimInterface(UsbConnection& c, const UsbRequestHeader& h);
int releaseUsbInterface(UsbConnection& c, const UsbRequestHeader& h);
int disconnectUsbDevice(UsbConnection& c, const UsbRequestHeader& h);
int discardUrbByTag(UsbConnection& c, const UsbRequestHeader& h);
int abortUsbEndpoint(UsbConnection& c, const UsbRequestHeader& h);
int clearUsbEndpointHalt(UsbConnection& c, const UsbRequestHeader& h);
int resetDevice(UsbConnection& c, const UsbRequestHeader& h);
int setConfiguration(UsbConnection& c, const UsbRequestHeader& h);

#endif
