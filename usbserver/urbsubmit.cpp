// The checks of SUBMIT_URB. Bulk and interrupt transfers of the owner are
// not submitted yet: they are answered FAILED/19 like a request that
// cannot be built.
#include "usbserver/urbsubmit.h"

#include <sys/uio.h>

#include <vector>

#include "usbserver/ctrlreq.h"
#include "usbserver/usbconnection.h"
#include "usbserver/usbdevicetable.h"
#include "usbserver/wireprotocol.h"

namespace {

constexpr uint8_t kTypeIso = 0;
constexpr uint8_t kTypeControl = 2;
constexpr uint8_t kTypeBulk = 3;
constexpr int kIsoPacketSize = 16;

int answer(UsbConnection& c, UsbReplyHeader reply, uint32_t status, int32_t error) {
  reply.status = status;
  reply.error = error;
  return c.sendReply(reply);
}

}  // namespace

int submitUrb(UsbConnection& c, const UsbRequestHeader& header) {
  UsbReplyHeader reply = makeShortContextReply(header);
  uint8_t raw[USB_TRANSFER_DESCRIPTOR_SIZE];
  if (c.readFully(raw, sizeof raw, USB_IO_TIMEOUT_MS) != static_cast<int>(sizeof raw))
    return answer(c, reply, USB_STATUS_FAILED, USB_ERR_PROTO);
  const UsbTransferDescriptor d = decodeTransferDescriptor(raw);
  if (d.type == kTypeIso) {
    c.discardBytes(static_cast<int64_t>(header.isoPacketCount()) * kIsoPacketSize);
    return answer(c, reply, USB_STATUS_FAILED, USB_ERR_PROTO);
  }
  if (!isUsbDevicePresentOnPort(d.row, d.port)) {
    c.discardBytes(d.outLength);
    return answer(c, reply, USB_STATUS_FAILED, USB_ERR_NODEV);
  }
  const UsbDeviceRow& row = usbDeviceTable[d.row];
  const bool owned = row.rowState() == UsbRowState::IN_USE && row.owner == &c;
  if (d.type == kTypeControl) {
    reply.status = USB_STATUS_REFUSED;
    reply.error = USB_REFUSED_OWNED;
    std::vector<uint8_t> in;
    const int n = processCtrlReq(c, d, reply, in);
    if (n < 0) return c.sendReply(reply);
    return c.sendReply(reply, in.data(), static_cast<uint32_t>(n));
  }
  if (!owned) {
    c.discardBytes(d.outLength);
    return answer(c, reply, USB_STATUS_REFUSED, USB_REFUSED_OWNED);
  }
  if (d.type > kTypeBulk) return answer(c, reply, USB_STATUS_OK, 0);
  c.discardBytes(d.outLength);
  return answer(c, reply, USB_STATUS_FAILED, USB_ERR_NODEV);
}
