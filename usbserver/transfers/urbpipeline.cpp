#include "usbserver/transfers/urbpipeline.h"

#include <linux/usbdevice_fs.h>

#include <cerrno>

#include "platform/usb/usbhost.h"
#include "usbserver/devices/usbdevicetable.h"
#include "usbserver/transfers/urbbuffers.h"
#include "usbserver/transfers/urbcompletion.h"
#include "usbserver/transfers/urbengine.h"
#include "usbserver/transfers/urbrequest.h"

namespace {

constexpr int32_t kCancelledError = 32;
// One reap answers at most the whole window and the chunk after it.
static_assert(UrbCompletionBatch::kMax >= URB_IN_WINDOW + 1, "a reap's completions fit in one batch");

uint32_t windowBit(int index) { return 1u << (index % URB_IN_WINDOW); }

// Submits chunk index: 0, or the negative errno, also kept as the chunk's
// status (and in the request's error).
int submitChunk(int handle, UrbRequest* r, int index) {
  usbdevfs_urb* sub = urbSubRecord(r, index);
  int rc = -ENOMEM;
  if (sub) {
    sub->flags = (index + 1 < r->count ? USBDEVFS_URB_SHORT_NOT_OK : 0u) |
                 (index > 0 ? USBDEVFS_URB_BULK_CONTINUATION : 0u);
    sub->status = 0;
    sub->actual_length = 0;
    if (!sub->buffer && sub->buffer_length > 0) sub->buffer = allocUrbBuffer(handle, static_cast<size_t>(sub->buffer_length));
    if (sub->buffer || sub->buffer_length == 0) {
      rc = usbHost().submitUrb(handle, sub);
      if (rc > 0) rc = -1;
    }
  }
  if (rc == 0) {
    r->inKernel += 1;
    return 0;
  }
  if (sub) sub->status = rc;
  r->error = rc;
  return rc;
}

// Fills the window up. True when a chunk was refused: it is answered once
// the chunks before it are.
bool refill(int handle, UrbRequest* r) {
  while (!r->submitStopped && r->submitted < r->count && r->submitted - r->answered < URB_IN_WINDOW) {
    const int index = r->submitted++;
    if (submitChunk(handle, r, index) != 0) {
      r->submitStopped = true;
      r->reapedBits |= windowBit(index);
      return true;
    }
  }
  return false;
}

// The transfer has had its final completion: what is still in flight
// behind it is discarded and reaped without answer.
void endTransfer(UsbDeviceRow& row, UrbRequest* r) {
  r->completed = r->count;
  r->submitStopped = true;
  for (int i = r->answered; i < r->submitted; ++i) {
    if (r->reapedBits & windowBit(i)) continue;
    if (row.usbfsHandle >= 0 && r->subs[i]) usbHost().discardUrb(row.usbfsHandle, r->subs[i]);
  }
  r->reapedBits = 0;
}

// Answers the reaped chunks at the head of the window, in order, refilling
// the window as it empties.
void answerInOrder(UsbDeviceRow& row, UrbRequest* r, int handle, UrbCompletionBatch& batch) {
  for (;;) {
    while (r->answered < r->submitted && (r->reapedBits & windowBit(r->answered)) && !batch.full()) {
      const int index = r->answered++;
      r->reapedBits &= ~windowBit(index);
      r->completed = r->answered;
      const usbdevfs_urb* sub = r->subs[index];
      int32_t status = sub ? sub->status : r->error;
      const int32_t actual = sub && sub->actual_length > 0 ? sub->actual_length : 0;
      const bool shortChunk = sub && actual < sub->buffer_length;
      // The short packet usbfs reports as a failure because it was asked to.
      if (status == -EREMOTEIO && shortChunk && (sub->flags & USBDEVFS_URB_SHORT_NOT_OK)) status = 0;
      if (status != 0) {
        r->flags.fetch_or(URB_ERROR);
        r->error = status;
        batch.add(r, index, true, USB_STATUS_FAILED, status, nullptr, 0);
        endTransfer(row, r);
        return;
      }
      r->bytesLeft -= actual;
      const bool final = shortChunk || index + 1 == r->count;
      batch.add(r, index, final, USB_STATUS_OK, 0, actual > 0 ? sub->buffer : nullptr, static_cast<uint32_t>(actual));
      if (final) {
        endTransfer(row, r);
        return;
      }
    }
    if (r->flags.load() & URB_DISCARDED) {
      // Nothing failed: every chunk in flight had completed before the discard.
      if (r->inKernel == 0 && r->answered == r->submitted && !batch.full()) {
        r->flags.fetch_or(URB_ABORT);
        batch.add(r, r->answered < r->count ? r->answered : r->count - 1, true, USB_STATUS_CANCELLED,
                  kCancelledError, nullptr, 0);
        endTransfer(row, r);
      }
      return;
    }
    if (!refill(handle, r)) return;
  }
}

}  // namespace

bool isPipelinedUrb(const UrbRequest* r) {
  return r && r->type == URB_TYPE_BULK && r->isIn() && r->count > 1;
}

int startPipelinedUrb(int handle, UrbRequest* r) {
  r->submitted = 0;
  r->answered = 0;
  r->reapedBits = 0;
  r->submitStopped = false;
  const int rc = submitChunk(handle, r, 0);
  if (rc != 0) {
    r->flags.fetch_or(URB_ERROR | (rc == -ENODEV ? URB_ABORT : 0));
    r->completed += 1;
    return rc;
  }
  r->submitted = 1;
  refill(handle, r);
  return 0;
}

bool reapPipelinedChunk(UsbDeviceRow& row, UrbRequest* r, int index, int handle, UrbCompletionBatch& batch) {
  r->inKernel -= 1;
  const uint32_t flags = r->flags.load();
  if (!(flags & URB_SENT)) {
    if (flags & URB_ABORT) {
      // A discard usbfs refused: the transfer is called off once nothing
      // of it is in flight.
      if (r->inKernel == 0) {
        batch.add(r, r->answered < r->count ? r->answered : r->count - 1, true, USB_STATUS_CANCELLED,
                  kCancelledError, nullptr, 0);
        endTransfer(row, r);
      }
    } else {
      r->reapedBits |= windowBit(index);
      answerInOrder(row, r, handle, batch);
    }
  }
  if ((r->flags.load() & (URB_SENT | URB_BUSY)) == (URB_SENT | URB_BUSY) && r->inKernel == 0) {
    r->flags.fetch_and(~URB_BUSY);
    return true;
  }
  return false;
}

int discardPipelinedUrb(UsbDeviceRow& row, UrbRequest* r) {
  const uint32_t flags = r->flags.load();
  if (!(flags & (URB_SENT | URB_ABORT | URB_DISCARDED))) {
    r->flags.fetch_or(URB_DISCARDED);
    if (!(flags & URB_BUSY)) {
      r->discarded += 1;  // queued: nothing of it reached the device
    } else {
      for (int i = r->answered; i < r->submitted && row.usbfsHandle >= 0; ++i) {
        if ((r->reapedBits & windowBit(i)) || !r->subs[i]) continue;
        const int rc = usbHost().discardUrb(row.usbfsHandle, r->subs[i]);
        if (rc != 0 && rc != -EINVAL) r->flags.fetch_or(URB_ABORT);
      }
    }
  }
  return r->inKernel == 0;
}
