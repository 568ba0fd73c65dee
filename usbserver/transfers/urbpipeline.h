// Bulk IN transfers of several chunks: up to URB_IN_WINDOW chunks of the
// transfer are in flight on the device at once, so the device fills the
// next ones while a chunk's data goes to the client. Their completions
// reach the client strictly in the order of the chunks, whatever the order
// they are reaped in.
//
// Every chunk but the last asks usbfs to fail a short packet
// (USBDEVFS_URB_SHORT_NOT_OK), every chunk but the first continues the
// transfer (USBDEVFS_URB_BULK_CONTINUATION): when one chunk fails or ends
// short, usbfs cancels the chunks behind it before they take any data, so
// the data after a short packet stays for the next transfer.
//
// The transfer ends with the first chunk that is short (its completion is
// the final one, OK, with the bytes it received), fails (FAILED with its
// status, after the completions of the chunks before it) or is the last.
// Chunks still in flight behind the end are discarded; the request is
// released once they are reaped. A discarded transfer submits nothing
// more: it ends with the first failed chunk, or CANCELLED once every chunk
// in flight came back complete.
//
// Everything here runs under the row mutex.
#ifndef USBSERVER_TRANSFERS_URBPIPELINE_H
#define USBSERVER_TRANSFERS_URBPIPELINE_H

struct UrbRequest;
class UrbCompletionBatch;
class UsbDeviceRow;

// Chunks of one transfer in flight at most.
constexpr int URB_IN_WINDOW = 4;

// A bulk IN transfer of more than one chunk.
bool isPipelinedUrb(const UrbRequest* request);

// Starts a Busy request: its first chunks are submitted on handle. 0, or
// the first chunk's negative errno, with the request flagged as
// submitSubUrb flags it (nothing is in flight then). A later chunk that
// usbfs refuses ends the transfer in its turn.
int startPipelinedUrb(int handle, UrbRequest* request);

// Chunk index of request was reaped: the completions now due go into
// batch, in order, and the window is filled up again. True when the
// transfer has ended and nothing of it is in flight any more (Busy is
// cleared: the next transfer on the endpoint may start).
bool reapPipelinedChunk(UsbDeviceRow& row, UrbRequest* request, int index, int handle, UrbCompletionBatch& batch);

// Discards the chunks in flight on the row's handle and stops further
// submissions. 1 when nothing of the request is in flight.
int discardPipelinedUrb(UsbDeviceRow& row, UrbRequest* request);

#endif
