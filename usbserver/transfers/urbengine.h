// Client transfer requests on a row's transfer list: their record, the
// list operations (find, discard, abort, release) and the reap handler of a
// connected device's usbfs handle.
//
// The list and the requests on it are changed under the row mutex. A
// request is freed only on its owner connection's task, or by whoever
// holds the row mutex of a row without owner (recycle, connect).
#ifndef USBSERVER_TRANSFERS_URBENGINE_H
#define USBSERVER_TRANSFERS_URBENGINE_H

#include <atomic>
#include <cstdint>
#include <memory>

#include "usbserver/transfers/urblist.h"

struct usbdevfs_urb;
class UsbConnection;
class UsbDeviceRow;
class UsbEventSource;

// UrbRequest state flags.
constexpr uint32_t URB_PREPARED = 0x1;
constexpr uint32_t URB_BUSY = 0x2;
constexpr uint32_t URB_DISCARDED = 0x8;
constexpr uint32_t URB_SENT = 0x10;
constexpr uint32_t URB_ERROR = 0x10000000;
constexpr uint32_t URB_ABORT = 0x20000000;

// Bulk transfers are cut into sub-requests of this size.
constexpr int URB_CHUNK_SIZE = 65536;

// What one connection may have waiting behind transfers in flight: bulk IN
// transfers queued on their endpoints, with their announced lengths.
struct UrbQueueBudget {
  std::atomic<int64_t> bytes{0};
  std::atomic<int32_t> transfers{0};
};

// One client transfer ("purb").
struct UrbRequest : UrbLink {
  int32_t row = -1;
  uint8_t endpoint = 0;
  uint8_t type = 0;         // usbfs transfer type
  // Changed under the row mutex; the owner's task also reads it without.
  std::atomic<uint32_t> flags{0};
  uint32_t context = 0;     // request header's context word
  uint32_t tag = 0;
  int32_t bytesLeft = 0;
  uint32_t length = 0;      // the whole transfer
  int32_t count = 0;        // sub-requests
  int32_t completed = 0;
  int32_t discarded = 0;
  int32_t inKernel = 0;     // sub-requests submitted and not yet reaped
  int32_t error = 0;        // negative errno of a sub-request usbfs refused
  // count records, each owning its buffer; made when the sub-request is
  // first submitted (urbSubRecord), so a long transfer waiting in a queue
  // costs only this array.
  usbdevfs_urb** subs = nullptr;
  // Set while the transfer waits behind another on its endpoint: the
  // connection's budget of queued transfers it is counted in.
  std::shared_ptr<UrbQueueBudget> queuedIn;
  // A bulk IN transfer of several chunks keeps some of them in flight at
  // once (urbpipeline.h): chunks submitted so far, chunks answered to the
  // client so far, the reaped chunks that wait for those before them (bit
  // index % URB_IN_WINDOW), and no more submissions after a refused one.
  int32_t submitted = 0;
  int32_t answered = 0;
  uint32_t reapedBits = 0;
  bool submitStopped = false;

  bool isIn() const { return (endpoint & 0x80) != 0; }
  bool outstanding() const { return completed < count; }
};

// The request a list link belongs to (every member of a row's list is one).
inline UrbRequest* urbRequestOf(UrbLink* link) { return static_cast<UrbRequest*>(link); }

// Live UrbRequest records.
extern std::atomic<int32_t> urbCount;

// A new request for count sub-requests (their records not yet made);
// counted in urbCount. Null without memory.
UrbRequest* newUrbRequest(int count);
// Sub-request index's record, made on first use with type, endpoint,
// usercontext and its chunk of length as buffer length (no buffer yet).
// Null for a bad index or without memory.
usbdevfs_urb* urbSubRecord(UrbRequest* request, int index);
// Counts request in budget as queued (bytes = its length).
void countQueuedUrb(UrbRequest* request, const std::shared_ptr<UrbQueueBudget>& budget);
// Takes request out of its queue budget, if it is counted in one.
void uncountQueuedUrb(UrbRequest* request);
// Frees the sub-requests' buffers and records (urbCount -= 1) and the request.
void freeUrbRequest(UrbRequest* request);

// Under the row mutex: the first request with endpoint (-1: any) and a
// flag of mask; the first with that tag. Null when none.
UrbRequest* findUrbByEndpoint(UsbDeviceRow& row, int endpoint, uint32_t mask);
UrbRequest* findUrbByTag(UsbDeviceRow& row, uint32_t tag);

// Discards what is left of request (takes the row mutex): sub-requests in
// flight are discarded on the row's handle, the others counted discarded;
// flags Discarded. 1 when every sub-request is completed or discarded.
int discardUrb(UsbDeviceRow& row, UrbRequest* request);
// Discards every request of the row that is not yet Discarded; those with
// nothing left in flight are flagged Abort. On the owner's task the
// CANCELLED completions of those follow at once (sendAbortedCompletions);
// elsewhere they wait for the owner's task.
void abortAllUrbs(int row);
// Discards the row's requests on endpoint like abortAllUrbs.
void abortEndpointUrbs(int row, uint8_t endpoint);
// On the owner's task: the final completion of every request of row that
// has nothing in flight and is flagged Abort (CANCELLED) or Error without
// Busy (FAILED with its error: it could not be started), each then
// released. -1 when a completion could not be written, else 0.
int sendAbortedCompletions(UsbConnection& owner, int row);

// Under the row mutex: a request with sub-requests outstanding and no
// Abort is only discarded and stays listed; otherwise it is unlinked and
// freed, except that one whose sub-requests the kernel still holds is
// flagged Sent and freed when they are reaped.
void releaseUrbRequest(UsbDeviceRow& row, UrbRequest* request);
// Sub-request index on handle: an IN one gets its buffer first. 0, or the
// negative errno (the request is flagged Error, and Abort for -19).
int submitSubUrb(int handle, UrbRequest* request, int index);
// Unlinks and frees every request of the list, completing none (revoked
// or recycled rows, a list a connect empties). The caller has closed the
// handle they were submitted on, or holds the row mutex of a row whose
// handle is closed.
void freeUrbList(UrbList& list);
// Moves every request of from to the end of to.
void moveUrbList(UrbList& from, UrbList& to);

// The completion of sub-request index to connection: 0, or -1 for a bad
// index or a write that failed. A final completion flags Sent and releases
// the request (under the row mutex).
int sendUrbCompletion(UsbConnection& connection, UsbDeviceRow& row, UrbRequest* request, int index);

// The handler of a device's event source: reaps one completed transfer
// under the row mutex and sends its completion after unlocking. >= 0, or
// -1 when the source is not its row's or the reaped record is unknown.
int usb_srv_poll(UsbEventSource& source);

// The set state flags as text ("Prepared Busy "), "Error!" for none.
const char* formatUrbState(const UrbRequest* request);

#endif
