// Control transfers of SUBMIT_URB: executed at once, partly from the
// descriptor caches, for owners and (a few requests) for other clients.
#ifndef USBSERVER_CTRLREQ_H
#define USBSERVER_CTRLREQ_H

#include <cstdint>
#include <vector>

class UsbConnection;
struct UsbReplyHeader;
struct UsbTransferDescriptor;

// Reads the transfer's OUT bytes (setup block and data stage) from the
// connection, runs the request and fills reply (prepared by the caller as
// REFUSED/12); the IN data to send after the header goes to in. The number
// of IN bytes, 0 for none, -1 after a memory failure.
int processCtrlReq(UsbConnection& connection, const UsbTransferDescriptor& transfer, UsbReplyHeader& reply,
                   std::vector<uint8_t>& in);

#endif
