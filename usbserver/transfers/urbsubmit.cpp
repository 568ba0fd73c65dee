// SUBMIT_URB: the checks of a client's transfer, control transfers at
// once, interrupt and bulk transfers as usbfs URBs on the owner's handle.
//
// Every body byte a request announces is read, also when the request is
// refused: what is left in the socket would be taken for the next request
// header. A body that cannot be read whole ends the connection.
#include "usbserver/transfers/urbsubmit.h"

#include <linux/usbdevice_fs.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "usbserver/connections/usbconnection.h"
#include "usbserver/devices/usbdevicetable.h"
#include "usbserver/protocol/wireprotocol.h"
#include "usbserver/transfers/ctrlreq.h"
#include "usbserver/transfers/urbbodyread.h"
#include "usbserver/transfers/urbbuffers.h"
#include "usbserver/transfers/urbengine.h"
#include "usbserver/transfers/urbpipeline.h"
#include "usbserver/transfers/urbrequest.h"

namespace {

constexpr int kIsoPacketSize = 16;

int answer(UsbConnection& c, UsbReplyHeader reply, uint32_t status, int32_t error) {
  reply.status = status;
  reply.error = error;
  return c.sendReply(reply);
}

// Drops body bytes, then answers. -1 when the body could not be read.
int refuse(UsbConnection& c, const UsbReplyHeader& reply, int64_t body, uint32_t status, int32_t error) {
  if (body > URB_MAX_DROPPED_BODY) {
    answer(c, reply, status, error);
    return -1;
  }
  if (!c.discardBytes(body)) return -1;
  return answer(c, reply, status, error);
}

int control(UsbConnection& c, const UsbTransferDescriptor& d, UsbReplyHeader& reply) {
  std::vector<uint8_t> in;
  const int n = processCtrlReq(c, d, reply, in);
  if (n == CTRL_END_CONNECTION) {
    c.sendReply(reply);
    return -1;
  }
  if (n <= 0) return c.sendReply(reply);
  return c.sendReply(reply, in.data(), static_cast<uint32_t>(n));
}

// The row as this connection sees it, read under the row mutex.
struct RowView {
  bool owned = false;
  int32_t handle = -1;
  bool video = false;
};

RowView viewRow(const UsbConnection& c, int rowIndex) {
  const UsbDeviceRow& row = usbDeviceTable[rowIndex];
  RowView v;
  muxIn(rowIndex);
  v.owned = row.rowState() == UsbRowState::IN_USE && row.owner == &c;
  v.handle = v.owned ? row.usbfsHandle : -1;
  v.video = row.descriptors.videoDevice != 0;
  unlockUsbDeviceRow(rowIndex);
  return v;
}

// The request may still go to the device: its row is this connection's
// and open, and nobody discarded or aborted it. Under the row mutex.
bool stillSubmittable(const UsbConnection& c, const UsbDeviceRow& row, const UrbRequest* r) {
  return row.owner == &c && row.usbfsHandle >= 0 && !(r->flags.load() & (URB_ABORT | URB_DISCARDED));
}

// Sub-request index could not be submitted (rc): the answer goes now, and
// it is the only one (sub-requests already in flight are reaped quietly).
int failedSubmission(UsbConnection& c, UsbReplyHeader reply, int rowIndex, UrbRequest* r, int index, int rc) {
  UsbDeviceRow& row = usbDeviceTable[rowIndex];
  muxIn(rowIndex);
  r->flags.fetch_or(URB_SENT);
  if (index == 0) r->flags.fetch_and(~URB_BUSY);
  releaseUrbRequest(row, r);
  unlockUsbDeviceRow(rowIndex);
  return answer(c, reply, rc == -ENODEV ? USB_STATUS_CANCELLED : USB_STATUS_FAILED, rc);
}

// The OUT data of a bulk or interrupt OUT transfer, read chunk by chunk,
// each chunk submitted once it is in.
int sendOutData(UsbConnection& c, const UsbReplyHeader& reply, const UsbTransferDescriptor& d, UrbRequest* r) {
  UsbDeviceRow& row = usbDeviceTable[d.row];
  muxIn(d.row);
  // Buffers come from the handle the transfer started on; a handle revoked
  // meanwhile only gives ordinary ones.
  const int handle = row.usbfsHandle;
  unlockUsbDeviceRow(d.row);
  int64_t unread = d.outLength;
  for (int i = 0; i < r->count; ++i) {
    usbdevfs_urb* sub = urbSubRecord(r, i);
    const int length = sub ? sub->buffer_length : 0;
    if (sub) sub->buffer = allocUrbBuffer(handle, static_cast<size_t>(length));
    if (sub && sub->buffer && length > 0 && readTransferBody(c, sub->buffer, length) != length) {
      // Never send a chunk the client did not fill. The rest of the data
      // cannot be told from the next request: the connection ends, and
      // what went to the device already is called back.
      muxIn(d.row);
      discardUrb(row, r);
      r->flags.fetch_or(URB_ABORT | URB_SENT);
      if (r->inKernel == 0) releaseUrbRequest(row, r);
      unlockUsbDeviceRow(d.row);
      return -1;
    }
    if (sub && sub->buffer) unread -= length;
    muxIn(d.row);
    if (!stillSubmittable(c, row, r)) {
      unlockUsbDeviceRow(d.row);
      // Taken away meanwhile: the data is dropped; a CANCELLED completion
      // follows when nothing of the request is in flight any more.
      if (!c.discardBytes(unread)) return -1;
      return sendAbortedCompletions(c, d.row);
    }
    int rc;
    if (!sub || !sub->buffer) {
      rc = -ENOMEM;
      r->flags.fetch_or(URB_ERROR);
      r->completed += 1;
      if (sub) sub->status = rc;
    } else {
      rc = submitSubUrb(row.usbfsHandle, r, i);
    }
    unlockUsbDeviceRow(d.row);
    if (rc != 0) {
      if (!c.discardBytes(unread)) return -1;
      return failedSubmission(c, reply, d.row, r, i, rc);
    }
  }
  return 0;
}

// An interrupt or bulk transfer of the row's owner.
int startTransfer(UsbConnection& c, const UsbRequestHeader& header, const UsbTransferDescriptor& d,
                  const UsbReplyHeader& reply, bool video) {
  const int64_t outData = d.isIn() ? 0 : d.outLength;
  UrbRequest* r = buildUrbRequest(header, d, video);
  if (!r) {
    std::fprintf(stderr, "%s Error: new purb:%p mem fault!?\n", "submitUrb", static_cast<void*>(r));
    return refuse(c, reply, outData, USB_STATUS_FAILED, USB_ERR_NODEV);
  }
  UsbDeviceRow& row = usbDeviceTable[d.row];
  muxIn(d.row);
  if (row.owner != &c || row.usbfsHandle < 0) {
    unlockUsbDeviceRow(d.row);
    freeUrbRequest(r);
    return refuse(c, reply, outData, USB_STATUS_FAILED, USB_ERR_NODEV);
  }
  r->flags.fetch_or(URB_PREPARED);
  row.transfers.append(r);
  // One bulk IN transfer per endpoint at a time; the next one waits until
  // the reap of the current one starts it. What a connection may have
  // waiting so is bounded: beyond it the transfer is refused.
  if (d.type == URB_TYPE_BULK && d.isIn() && findUrbByEndpoint(row, d.endpoint, URB_BUSY)) {
    const UrbQueueBudget& budget = *c.queueBudget;
    if (budget.transfers.load() >= URB_MAX_QUEUED_IN_TRANSFERS ||
        budget.bytes.load() + static_cast<int64_t>(r->length) > URB_MAX_QUEUED_IN_BYTES) {
      freeUrbRequest(r);
      unlockUsbDeviceRow(d.row);
      return answer(c, reply, USB_STATUS_FAILED, USB_ERR_NOMEM);
    }
    countQueuedUrb(r, c.queueBudget);
    unlockUsbDeviceRow(d.row);
    return 0;
  }
  r->flags.fetch_or(URB_BUSY);
  if (!d.isIn()) {
    unlockUsbDeviceRow(d.row);
    return sendOutData(c, reply, d, r);
  }
  const int rc = isPipelinedUrb(r) ? startPipelinedUrb(row.usbfsHandle, r) : submitSubUrb(row.usbfsHandle, r, 0);
  unlockUsbDeviceRow(d.row);
  return rc == 0 ? 0 : failedSubmission(c, reply, d.row, r, 0, rc);
}

}  // namespace

int submitUrb(UsbConnection& c, const UsbRequestHeader& header) {
  const UsbReplyHeader reply = makeShortContextReply(header);
  uint8_t raw[USB_TRANSFER_DESCRIPTOR_SIZE];
  if (readTransferBody(c, raw, sizeof raw) != static_cast<int>(sizeof raw)) {
    // Whatever of the request is still on its way cannot be told apart
    // from the next header.
    answer(c, reply, USB_STATUS_FAILED, USB_ERR_PROTO);
    return -1;
  }
  const UsbTransferDescriptor d = decodeTransferDescriptor(raw);
  c.allowBodyBytes(d.outLength);
  if (d.type == URB_TYPE_ISOCHRONOUS) {
    const int64_t packets = static_cast<int64_t>(header.isoPacketCount()) * kIsoPacketSize;
    c.allowBodyBytes(packets);
    return refuse(c, reply, packets + d.outLength, USB_STATUS_FAILED, USB_ERR_PROTO);
  }
  if (!isUsbDevicePresentOnPort(d.row, d.port)) return refuse(c, reply, d.outLength, USB_STATUS_FAILED, USB_ERR_NODEV);
  if (d.type == URB_TYPE_CONTROL) {
    UsbReplyHeader controlReply = reply;
    return control(c, d, controlReply);
  }
  const RowView view = viewRow(c, d.row);
  if (!view.owned) return refuse(c, reply, d.outLength, USB_STATUS_REFUSED, USB_REFUSED_OWNED);
  if (d.type > URB_TYPE_BULK) return refuse(c, reply, d.outLength, USB_STATUS_OK, 0);
  if (view.handle < 0) return refuse(c, reply, d.outLength, USB_STATUS_FAILED, USB_ERR_NODEV);
  if (!urbLengthAllowed(d, view.video)) return refuse(c, reply, d.outLength, USB_STATUS_FAILED, USB_ERR_NOMEM);
  // An IN transfer carries no OUT data; bytes sent anyway are dropped.
  if (d.isIn() && d.outLength > 0) {
    if (d.outLength > URB_MAX_DROPPED_BODY) return refuse(c, reply, d.outLength, USB_STATUS_FAILED, USB_ERR_PROTO);
    if (!c.discardBytes(d.outLength)) return -1;
  }
  return startTransfer(c, header, d, reply, view.video);
}
