// Control transfers of SUBMIT_URB: executed at once, partly from the
// descriptor caches, for owners and (a few requests) for other clients.
#ifndef USBSERVER_TRANSFERS_CTRLREQ_H
#define USBSERVER_TRANSFERS_CTRLREQ_H

#include <cstdint>
#include <vector>

class UsbConnection;
struct UsbReplyHeader;
struct UsbTransferDescriptor;

// Time-out of every control transfer.
constexpr unsigned USB_CONTROL_TIMEOUT_MS = 1000;

// Results of processCtrlReq other than an IN byte count.
constexpr int CTRL_MEMORY_FAILURE = -1;  // no memory; the reply says FAILED/71
constexpr int CTRL_END_CONNECTION = -2;  // the body could not be read whole: reply, then end

// Reads the transfer's OUT bytes (setup block and data stage) from the
// connection, runs the request and fills reply (the caller prepares its
// context, opcode and tag); the IN data to send after the header goes to
// in. The number of IN bytes (0 for none) or one of the results above.
//
// Lengths are checked before anything is allocated: the OUT length must
// hold the setup block and at most 65535 data bytes, the IN length at most
// 65535, and an OUT request's wLength must lie within the data sent.
// Otherwise the body is read and dropped and the answer is FAILED/71.
int processCtrlReq(UsbConnection& connection, const UsbTransferDescriptor& transfer, UsbReplyHeader& reply,
                   std::vector<uint8_t>& in);

#endif
