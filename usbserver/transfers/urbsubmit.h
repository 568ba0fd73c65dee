// SUBMIT_URB: a client's transfer on a device.
#ifndef USBSERVER_TRANSFERS_URBSUBMIT_H
#define USBSERVER_TRANSFERS_URBSUBMIT_H

class UsbConnection;
struct UsbRequestHeader;

// Reads the transfer descriptor and its OUT data and answers a refusal, a
// failure or a control transfer at once; accepted transfers are answered
// by their completions. 0, or -1 when the connection must end.
int submitUrb(UsbConnection& connection, const UsbRequestHeader& header);

#endif
