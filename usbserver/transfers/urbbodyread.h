// Reading the body of a transfer request. A client sends a request's
// header and body together, so the body is nearly always in the socket
// already: it is taken without a wait first, and only what is missing is
// waited for (USB_IO_TIMEOUT_MS for each read).
#ifndef USBSERVER_TRANSFERS_URBBODYREAD_H
#define USBSERVER_TRANSFERS_URBBODYREAD_H

class UsbConnection;

// size, or the first failing read result (<= 0), like UsbConnection::readFully.
int readTransferBody(UsbConnection& connection, void* buffer, int size);

#endif
