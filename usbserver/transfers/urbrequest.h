// Building a client transfer request from its SUBMIT_URB descriptor: how a
// transfer is cut into usbfs sub-requests, and the lengths a transfer may
// have.
#ifndef USBSERVER_TRANSFERS_URBREQUEST_H
#define USBSERVER_TRANSFERS_URBREQUEST_H

#include <cstdint>

struct UrbRequest;
struct UsbRequestHeader;
struct UsbTransferDescriptor;

// usbfs transfer types as the descriptor numbers them.
constexpr uint8_t URB_TYPE_ISOCHRONOUS = 0;
constexpr uint8_t URB_TYPE_INTERRUPT = 1;
constexpr uint8_t URB_TYPE_CONTROL = 2;
constexpr uint8_t URB_TYPE_BULK = 3;

// Longest transfers accepted. A transfer in one sub-request (interrupt,
// bulk on a video device) holds its whole length in one buffer, and every
// chunk of a bulk OUT transfer stays allocated until it is reaped, so both
// are held to the kernel's default usbfs memory limit. A bulk IN transfer
// has a few chunks in flight at a time (urbpipeline.h); only its record
// array grows with its length.
constexpr uint32_t URB_MAX_SINGLE_LENGTH = 16u << 20;
constexpr uint32_t URB_MAX_BULK_OUT_LENGTH = 16u << 20;
constexpr uint32_t URB_MAX_BULK_IN_LENGTH = 64u << 20;

// What one connection may have waiting behind the bulk IN transfers in
// flight on their endpoints, in announced length and in transfers; a bulk
// IN beyond either is answered FAILED/12.
constexpr int64_t URB_MAX_QUEUED_IN_BYTES = 64ll << 20;
constexpr int32_t URB_MAX_QUEUED_IN_TRANSFERS = 1024;

// Bodies of refused transfers up to this size are read and dropped so the
// stream stays in step; a longer one ends the connection instead.
constexpr int64_t URB_MAX_DROPPED_BODY = 64ll << 20;

// The transfer's length: the IN length for an IN endpoint, else the OUT length.
uint32_t urbTransferLength(const UsbTransferDescriptor& transfer);

// True when the transfer is cut into 65536-byte chunks: bulk, except on a
// video device.
bool urbIsChunked(uint8_t type, bool videoDevice);

// Sub-requests of a transfer of length bytes: one unless chunked; chunked
// the number of chunks, a last short one included (one for length 0).
int urbSubRequestCount(uint8_t type, uint32_t length, bool videoDevice);

// True when the transfer's length is within the limits above.
bool urbLengthAllowed(const UsbTransferDescriptor& transfer, bool videoDevice);

// A new request for the transfer (interrupt or bulk), counted in urbCount:
// row, endpoint, type, tag and context as received, bytes left = the
// transfer length, and its sub-request records with type, endpoint and
// buffer length (no buffers yet). Null without memory ("sUrb" messages on
// standard error) or when the lengths do not add up.
UrbRequest* buildUrbRequest(const UsbRequestHeader& header, const UsbTransferDescriptor& transfer,
                            bool videoDevice);

#endif
