#include "usbserver/transfers/urbengine.h"

#include <linux/usbdevice_fs.h>
#include <sys/uio.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/usb/usbhost.h"
#include "usbserver/connections/usbconnection.h"
#include "usbserver/connections/usbrowhandover.h"
#include "usbserver/devices/usbdevicetable.h"
#include "usbserver/protocol/wireprotocol.h"
#include "usbserver/transfers/urbbuffers.h"
#include "usbserver/transfers/urbcompletion.h"
#include "usbserver/transfers/urbpipeline.h"

std::atomic<int32_t> urbCount{0};

namespace {

constexpr uint8_t kTypeInterrupt = USBDEVFS_URB_TYPE_INTERRUPT;
constexpr int32_t kCancelledError = 32;

bool onList(UsbDeviceRow& row, const UrbRequest* request) {
  for (UrbLink* l = row.transfers.first(); l; l = row.transfers.after(l))
    if (urbRequestOf(l) == request) return true;
  return false;
}

// A completion ready to be written once the row mutex is released.
struct PendingCompletion {
  UrbRequest* request = nullptr;
  int index = -1;
  bool final = false;
  uint8_t head[USB_REPLY_HEADER_SIZE];
  const void* data = nullptr;
  uint32_t length = 0;
};

// Builds the completion of sub-request index; under the row mutex. False
// when nothing is to be sent.
bool composeCompletion(UrbRequest* r, int index, PendingCompletion& out) {
  if (index < 0 || index >= r->count) return false;
  uint32_t flags = r->flags.load();
  if (flags & URB_SENT) return false;
  // A sub-request never submitted has no record: status 0, no data.
  const usbdevfs_urb* sub = r->subs[index];
  const int32_t subStatus = sub ? sub->status : 0;
  UsbReplyHeader reply;
  reply.context = r->context & 0xFF;
  reply.tag = r->tag;
  reply.status = USB_STATUS_OK;
  if (flags & URB_ERROR) {
    reply.status = USB_STATUS_FAILED;
    reply.error = subStatus != 0 ? subStatus : r->error;
  } else if (flags & URB_ABORT) {
    reply.status = USB_STATUS_CANCELLED;
    reply.error = kCancelledError;
  } else if (index > 0 && r->type != kTypeInterrupt && subStatus != 0) {
    reply.status = USB_STATUS_FAILED;
    reply.error = subStatus;
    flags = r->flags.fetch_or(URB_ERROR) | URB_ERROR;
  } else if (r->isIn() && sub && sub->buffer && sub->actual_length > 0) {
    out.data = sub->buffer;
    out.length = static_cast<uint32_t>(sub->actual_length);
  }
  out.final = r->completed + r->discarded >= r->count || (flags & (URB_ERROR | URB_ABORT));
  reply.opcode = USB_REPLY_BIT | (out.final ? USB_OP_SUBMIT_URB : USB_OP_URB_PARTIAL);
  reply.dataLength = out.length;
  encodeReplyHeader(reply, out.head);
  out.request = r;
  out.index = index;
  if (out.final) r->flags.fetch_or(URB_SENT);
  return true;
}

// Writes a composed completion (row mutex not held), then finishes the
// request under the mutex: a final one is released, an intermediate IN one
// frees its sub-request's buffer. 0 or -1.
int deliverCompletion(UsbConnection& c, UsbDeviceRow& row, PendingCompletion& p) {
  iovec pieces[2] = {{p.head, sizeof p.head}, {const_cast<void*>(p.data), p.length}};
  const int64_t total = USB_REPLY_HEADER_SIZE + static_cast<int64_t>(p.length);
  const int written = c.writeVector(pieces, p.length ? 2 : 1);
  const int index = usbRowIndexOf(&row);
  RowMutex hold(index);
  if (onList(row, p.request)) {
    if (p.final) {
      releaseUrbRequest(row, p.request);
    } else if (p.request->isIn()) {
      if (usbdevfs_urb* sub = p.request->subs[p.index]) {
        freeUrbBuffer(sub->buffer, static_cast<size_t>(sub->buffer_length));
        sub->buffer = nullptr;
      }
    }
  }
  return written == total ? 0 : -1;
}

// The oldest transfer queued behind finished on its endpoint goes in
// flight, whether finished ended well or not; discarded, aborted or
// answered ones never do. One that usbfs refuses is flagged Error (its
// answer is left to sendAbortedCompletions) and the next one is tried.
// Under the row mutex. True when one was refused.
bool startNextQueued(UsbDeviceRow& row, const UrbRequest* finished, int handle) {
  constexpr uint32_t kNotStartable = URB_BUSY | URB_DISCARDED | URB_SENT | URB_ERROR | URB_ABORT;
  bool refused = false;
  for (UrbLink* l = row.transfers.first(); l; l = row.transfers.after(l)) {
    UrbRequest* next = urbRequestOf(l);
    const uint32_t f = next->flags.load();
    if (next != finished && next->endpoint == finished->endpoint && (f & URB_PREPARED) && !(f & kNotStartable)) {
      uncountQueuedUrb(next);
      next->flags.fetch_or(URB_BUSY);
      const int rc = isPipelinedUrb(next) ? startPipelinedUrb(handle, next) : submitSubUrb(handle, next, 0);
      if (rc == 0) return refused;
      next->flags.fetch_and(~URB_BUSY);
      refused = true;
    }
  }
  return refused;
}

bool ownerTaskIsCurrent(const UsbDeviceRow& row) {
  return row.owner && row.owner->ownerTask && row.owner->ownerTask == currentTask();
}

void abortMatching(int rowIndex, int endpoint) {
  if (!isUsbRowIndexValid(rowIndex)) return;
  UsbDeviceRow& row = usbDeviceTable[rowIndex];
  UsbConnection* sender = nullptr;
  {
    RowMutex hold(rowIndex);
    for (UrbLink* l = row.transfers.first(); l; l = row.transfers.after(l)) {
      UrbRequest* r = urbRequestOf(l);
      if (endpoint >= 0 && r->endpoint != endpoint) continue;
      if (!(r->flags.load() & URB_DISCARDED)) discardUrb(row, r);
      if (r->inKernel == 0) r->flags.fetch_or(URB_ABORT);
    }
    if (ownerTaskIsCurrent(row)) sender = row.owner;
  }
  if (sender) sendAbortedCompletions(*sender, rowIndex);
}

}  // namespace

UrbRequest* newUrbRequest(int count) {
  if (count <= 0) return nullptr;
  auto* r = new (std::nothrow) UrbRequest;
  if (!r) return nullptr;
  r->subs = static_cast<usbdevfs_urb**>(std::calloc(static_cast<size_t>(count), sizeof(usbdevfs_urb*)));
  if (!r->subs) {
    delete r;
    return nullptr;
  }
  r->count = count;
  urbCount.fetch_add(1);
  return r;
}

usbdevfs_urb* urbSubRecord(UrbRequest* r, int index) {
  if (!r || index < 0 || index >= r->count) return nullptr;
  if (r->subs[index]) return r->subs[index];
  auto* sub = static_cast<usbdevfs_urb*>(std::calloc(1, sizeof(usbdevfs_urb)));
  if (!sub) return nullptr;
  sub->type = r->type;
  sub->endpoint = r->endpoint;
  sub->usercontext = r;
  uint32_t chunk = r->length;
  if (r->count > 1) {
    const uint32_t offset = static_cast<uint32_t>(index) * URB_CHUNK_SIZE;
    chunk = r->length - offset < static_cast<uint32_t>(URB_CHUNK_SIZE) ? r->length - offset : URB_CHUNK_SIZE;
  }
  sub->buffer_length = static_cast<int>(chunk);
  r->subs[index] = sub;
  return sub;
}

void countQueuedUrb(UrbRequest* r, const std::shared_ptr<UrbQueueBudget>& budget) {
  if (!r || !budget || r->queuedIn) return;
  budget->bytes.fetch_add(r->length);
  budget->transfers.fetch_add(1);
  r->queuedIn = budget;
}

void uncountQueuedUrb(UrbRequest* r) {
  if (!r || !r->queuedIn) return;
  r->queuedIn->bytes.fetch_sub(r->length);
  r->queuedIn->transfers.fetch_sub(1);
  r->queuedIn.reset();
}

void freeUrbRequest(UrbRequest* r) {
  if (!r) return;
  UrbList::unlink(r);
  uncountQueuedUrb(r);
  if (r->subs) {
    for (int i = 0; i < r->count; ++i) {
      if (!r->subs[i]) continue;
      freeUrbBuffer(r->subs[i]->buffer, static_cast<size_t>(r->subs[i]->buffer_length));
      std::free(r->subs[i]);
    }
    std::free(r->subs);
    urbCount.fetch_sub(1);
  }
  delete r;
}

UrbRequest* findUrbByEndpoint(UsbDeviceRow& row, int endpoint, uint32_t mask) {
  RowMutex hold(usbRowIndexOf(&row));
  for (UrbLink* l = row.transfers.first(); l; l = row.transfers.after(l)) {
    UrbRequest* r = urbRequestOf(l);
    if ((endpoint < 0 || r->endpoint == endpoint) && (r->flags.load() & mask)) return r;
  }
  return nullptr;
}

UrbRequest* findUrbByTag(UsbDeviceRow& row, uint32_t tag) {
  RowMutex hold(usbRowIndexOf(&row));
  for (UrbLink* l = row.transfers.first(); l; l = row.transfers.after(l))
    if (urbRequestOf(l)->tag == tag) return urbRequestOf(l);
  return nullptr;
}

int discardUrb(UsbDeviceRow& row, UrbRequest* r) {
  if (!r) return 1;
  RowMutex hold(usbRowIndexOf(&row));
  if (isPipelinedUrb(r)) return discardPipelinedUrb(row, r);
  const uint32_t flags = r->flags.load();
  if (r->completed >= r->count || (flags & (URB_ABORT | URB_DISCARDED))) return r->completed + r->discarded >= r->count;
  const bool busy = flags & URB_BUSY;
  for (int i = r->completed + r->discarded; i < r->count && row.usbfsHandle >= 0; ++i) {
    if (busy && r->subs[i]) {
      const int rc = usbHost().discardUrb(row.usbfsHandle, r->subs[i]);
      if (rc == 0) r->discarded += 1;
      else if (rc != -EINVAL) r->flags.fetch_or(URB_ABORT);
    } else {
      r->discarded += 1;
    }
    if (r->isIn()) break;
  }
  r->flags.fetch_or(URB_DISCARDED);
  return r->completed + r->discarded >= r->count;
}

void abortAllUrbs(int row) { abortMatching(row, -1); }

void abortEndpointUrbs(int row, uint8_t endpoint) { abortMatching(row, endpoint); }

int sendAbortedCompletions(UsbConnection& owner, int rowIndex) {
  if (!isUsbRowIndexValid(rowIndex)) return 0;
  UsbDeviceRow& row = usbDeviceTable[rowIndex];
  int result = 0;
  for (;;) {
    PendingCompletion p;
    {
      RowMutex hold(rowIndex);
      UrbRequest* found = nullptr;
      for (UrbLink* l = row.transfers.first(); l && !found; l = row.transfers.after(l)) {
        UrbRequest* r = urbRequestOf(l);
        const uint32_t f = r->flags.load();
        const bool unanswered = (f & URB_ABORT) || ((f & URB_ERROR) && !(f & URB_BUSY));
        if (unanswered && !(f & URB_SENT) && r->inKernel == 0) found = r;
      }
      if (!found) break;
      const int index = found->completed < found->count ? found->completed : found->count - 1;
      if (!composeCompletion(found, index, p)) {
        found->flags.fetch_or(URB_SENT);
        releaseUrbRequest(row, found);
        continue;
      }
    }
    if (deliverCompletion(owner, row, p) < 0) result = -1;
  }
  return result;
}

void releaseUrbRequest(UsbDeviceRow& row, UrbRequest* r) {
  if (!r) return;
  RowMutex hold(usbRowIndexOf(&row));
  const uint32_t flags = r->flags.load();
  if (r->outstanding() && !(flags & URB_ABORT) && !(flags & URB_SENT)) {
    discardUrb(row, r);
    return;
  }
  if (r->inKernel > 0 && row.usbfsHandle >= 0) {
    // The kernel still writes into its records: freed when they are reaped.
    r->flags.fetch_or(URB_SENT | URB_ABORT);
    return;
  }
  freeUrbRequest(r);
}

void freeUrbList(UrbList& list) {
  while (UrbLink* l = list.first()) freeUrbRequest(urbRequestOf(l));
}

void moveUrbList(UrbList& from, UrbList& to) {
  while (UrbLink* l = from.first()) {
    UrbList::unlink(l);
    to.append(l);
  }
}

int submitSubUrb(int handle, UrbRequest* r, int index) {
  if (!r || index < 0 || index >= r->count) return -EINVAL;
  usbdevfs_urb* sub = urbSubRecord(r, index);
  if (!sub) {
    r->flags.fetch_or(URB_ERROR);
    r->completed += 1;
    r->error = -ENOMEM;
    return -ENOMEM;
  }
  int rc;
  if (r->isIn() && !sub->buffer && sub->buffer_length > 0 &&
      !(sub->buffer = allocUrbBuffer(handle, static_cast<size_t>(sub->buffer_length)))) {
    rc = -ENOMEM;
  } else {
    rc = usbHost().submitUrb(handle, sub);
    if (rc == 0) {
      r->inKernel += 1;
      return 0;
    }
    if (rc > 0) rc = -1;
  }
  r->flags.fetch_or(URB_ERROR | (rc == -ENODEV ? URB_ABORT : 0));
  r->completed += 1;
  r->error = rc;
  sub->status = rc;
  return rc;
}

int sendUrbCompletion(UsbConnection& c, UsbDeviceRow& row, UrbRequest* r, int index) {
  if (!r || index < 0 || index >= r->count) return -1;
  PendingCompletion p;
  {
    RowMutex hold(usbRowIndexOf(&row));
    if (!composeCompletion(r, index, p)) return 0;
  }
  return deliverCompletion(c, row, p);
}

int usb_srv_poll(UsbEventSource& source) {
  const int rowIndex = source.row;
  if (!isUsbRowIndexValid(rowIndex)) return -1;
  UsbDeviceRow& row = usbDeviceTable[rowIndex];
  // At most two completions per reap: a chunk's data, then the final
  // failure of a next chunk usbfs refused; a chunked bulk IN transfer's
  // (urbpipeline.h) go in order in a batch of their own.
  PendingCompletion pending;
  PendingCompletion refusal;
  UrbCompletionBatch inOrder;
  UsbConnection* owner = nullptr;
  bool revoke = false;
  bool queuedRefused = false;
  {
    RowMutex hold(rowIndex);
    // A source handed over to this task (its row was taken) only waits to
    // be destroyed by the loop.
    if (row.eventSource != &source) return 0;
    usbdevfs_urb* urb = nullptr;
    const int rc = usbHost().reapUrbNoDelay(source.fd, &urb);
    if (rc == -ENODEV) {
      revoke = true;
    } else if (rc == -EINTR) {
      std::fprintf(stderr, "%s %d EINTR\n", "usb_srv_poll", 1933);
      return 0;
    } else if (rc < 0 || !urb) {
      return 0;
    }
    UrbRequest* r = nullptr;
    int index = -1;
    if (!revoke) {
      r = static_cast<UrbRequest*>(urb->usercontext);
      if (r && onList(row, r))
        for (int i = 0; i < r->count; ++i)
          if (r->subs[i] == urb) index = i;
      if (index < 0) return -1;
    }
    if (r && isPipelinedUrb(r)) {
      if (reapPipelinedChunk(row, r, index, source.fd, inOrder)) {
        queuedRefused = startNextQueued(row, r, source.fd);
        // Its final completion went out before: only chunks behind it were left.
        if (inOrder.empty()) releaseUrbRequest(row, r);
      }
      owner = row.owner;
    } else if (r) {
      r->inKernel -= 1;
      r->completed += 1;
      const uint32_t flags = r->flags.load();
      bool nextRefused = false;
      if (flags & (URB_ERROR | URB_ABORT | URB_SENT)) {
        r->flags.fetch_and(~URB_BUSY);
      } else if (urb->status != 0 && r->type != kTypeInterrupt) {
        r->flags.fetch_or(URB_ERROR);
        r->flags.fetch_and(~URB_BUSY);
      } else {
        bool done;
        if (r->isIn()) {
          r->bytesLeft -= urb->actual_length;
          const bool full = urb->actual_length == urb->buffer_length;
          const bool more = index + 1 < r->count && full;
          if (more) {
            // This chunk's data goes out whatever becomes of the next one.
            composeCompletion(r, index, pending);
            nextRefused = submitSubUrb(source.fd, r, index + 1) != 0;
          }
          done = !more || nextRefused;
        } else {
          r->bytesLeft -= urb->buffer_length;
          done = r->completed >= r->count;
        }
        if (done) {
          r->flags.fetch_and(~URB_BUSY);
          if (!(r->flags.load() & URB_ERROR)) r->completed = r->count;
        }
      }
      if ((flags & URB_BUSY) && !(r->flags.load() & URB_BUSY) && r->inKernel == 0)
        queuedRefused = startNextQueued(row, r, source.fd);
      const uint32_t now = r->flags.load();
      if (nextRefused) {
        // The refused chunk's own final completion carries its errno.
        composeCompletion(r, index + 1, refusal);
      } else if (pending.request) {
        // The partial of a chunk whose successor is in flight.
      } else if (now & URB_SENT) {
        releaseUrbRequest(row, r);
      } else if (r->isIn() || index == r->count - 1 || (now & (URB_ERROR | URB_ABORT))) {
        composeCompletion(r, index, pending);
      }
      owner = row.owner;
    }
  }
  if (revoke) {
    // A hung-up handle reports itself at every wait: when there was no
    // owner to take it from, it leaves the event set (its source is
    // destroyed with the row's handle later).
    if (!revokeRowFromOwner(rowIndex) && source.ownerTask) source.ownerTask->removeEvent(source.fd);
    return 0;
  }
  UrbRequest* answered = pending.request ? pending.request : refusal.request;
  if (!owner) {
    inOrder.drop(row);
    RowMutex hold(rowIndex);
    if (answered && onList(row, answered)) releaseUrbRequest(row, answered);
    return 0;
  }
  int result = inOrder.deliver(*owner, row);
  for (PendingCompletion* p : {&pending, &refusal})
    if (p->request && deliverCompletion(*owner, row, *p) < 0) result = -1;
  // Transfers that could not start when their turn came are answered now.
  if (queuedRefused && result == 0 && sendAbortedCompletions(*owner, rowIndex) < 0) result = -1;
  return result;
}

const char* formatUrbState(const UrbRequest* r) {
  static thread_local char buffers[2][97];
  static thread_local int which = 0;
  if (!r) return "Error!";
  char* out = buffers[which];
  which ^= 1;
  out[0] = '\0';
  static const struct {
    uint32_t bit;
    const char* text;
  } kNames[] = {{URB_PREPARED, "Prepared "}, {URB_BUSY, "Busy "}, {URB_DISCARDED, "Discarded "},
                {URB_SENT, "Sent "}, {URB_ERROR, "Error "}, {URB_ABORT, "Abort "}};
  const uint32_t flags = r->flags.load();
  for (int bit = 0; bit < 32; ++bit) {
    const uint32_t mask = 1u << bit;
    if (!(flags & mask)) continue;
    const char* text = "Unknown ";
    for (const auto& n : kNames)
      if (n.bit == mask) text = n.text;
    if (std::strlen(out) + std::strlen(text) < sizeof buffers[0]) std::strcat(out, text);
  }
  return out;
}
