#include "usbserver/transfers/urbcompletion.h"

#include <linux/usbdevice_fs.h>
#include <sys/uio.h>

#include "usbserver/connections/usbconnection.h"
#include "usbserver/devices/usbdevicetable.h"
#include "usbserver/transfers/urbbuffers.h"
#include "usbserver/transfers/urbengine.h"

namespace {

bool onList(UsbDeviceRow& row, const UrbRequest* request) {
  for (UrbLink* l = row.transfers.first(); l; l = row.transfers.after(l))
    if (urbRequestOf(l) == request) return true;
  return false;
}

}  // namespace

bool UrbCompletionBatch::add(UrbRequest* r, int index, bool final, uint32_t status, int32_t error, const void* data,
                             uint32_t length) {
  if (full()) return false;
  UrbCompletion& c = items_[count_++];
  UsbReplyHeader reply;
  reply.context = r->context & 0xFF;
  reply.tag = r->tag;
  reply.opcode = USB_REPLY_BIT | (final ? USB_OP_SUBMIT_URB : USB_OP_URB_PARTIAL);
  reply.status = status;
  reply.error = error;
  reply.dataLength = data ? length : 0;
  encodeReplyHeader(reply, c.head);
  c.request = r;
  c.index = index;
  c.final = final;
  c.data = data;
  c.length = reply.dataLength;
  if (final) r->flags.fetch_or(URB_SENT);
  return true;
}

int UrbCompletionBatch::deliver(UsbConnection& connection, UsbDeviceRow& row) {
  if (empty()) return 0;
  iovec pieces[2 * kMax];
  int count = 0;
  int64_t total = 0;
  for (int i = 0; i < count_; ++i) {
    UrbCompletion& c = items_[i];
    pieces[count++] = {c.head, sizeof c.head};
    if (c.length) pieces[count++] = {const_cast<void*>(c.data), c.length};
    total += USB_REPLY_HEADER_SIZE + static_cast<int64_t>(c.length);
  }
  const int written = connection.writeVector(pieces, count);
  RowMutex hold(usbRowIndexOf(&row));
  for (int i = 0; i < count_; ++i) {
    UrbCompletion& c = items_[i];
    if (!onList(row, c.request)) continue;
    if (c.final) {
      releaseUrbRequest(row, c.request);
    } else if (usbdevfs_urb* sub = c.request->subs[c.index]) {
      freeUrbBuffer(sub->buffer, static_cast<size_t>(sub->buffer_length));
      sub->buffer = nullptr;
    }
  }
  count_ = 0;
  return written == total ? 0 : -1;
}

void UrbCompletionBatch::drop(UsbDeviceRow& row) {
  RowMutex hold(usbRowIndexOf(&row));
  for (int i = 0; i < count_; ++i)
    if (items_[i].final && onList(row, items_[i].request)) releaseUrbRequest(row, items_[i].request);
  count_ = 0;
}
