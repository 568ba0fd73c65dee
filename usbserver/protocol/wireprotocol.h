// The wire protocol of the USB server connections: request and reply
// headers, opcodes, reply status and error values, the unsolicited notices
// and the fixed records, with their big-endian encoding.
//
// Requests: a 16-byte header, then a body whose size the opcode fixes
// (DEVICE_LIST: the header's payload length). Replies: a 24-byte header,
// then as many data bytes as its data length says.
#ifndef USBSERVER_PROTOCOL_WIREPROTOCOL_H
#define USBSERVER_PROTOCOL_WIREPROTOCOL_H

#include <cstdint>

#include "runtime/bytes/byteorder.h"

constexpr int USB_REQUEST_HEADER_SIZE = 16;
constexpr int USB_REPLY_HEADER_SIZE = 24;
constexpr int USB_NOTICE_SIZE = 18;             // unsolicited message: header + row + port
constexpr int USB_TRANSFER_DESCRIPTOR_SIZE = 12;
constexpr int USB_DEVICE_RECORD_SIZE = 22;      // one record of the device list
constexpr int USB_OWNER_RECORD_SIZE = 9;        // PORT_STATUS owner record
constexpr int USB_CLIENT_NAME_SIZE = 32;        // CONNECT client name field
constexpr uint32_t USB_MAX_KEY_PAYLOAD = 444;   // DEVICE_LIST access-key payload

// Opcodes of requests (and of the two unsolicited notices).
enum UsbOpcode : uint32_t {
  USB_OP_HELLO_LEGACY = 1,
  USB_OP_DEVICE_LIST_LEGACY = 2,
  USB_OP_CLAIM_INTERFACE = 4,
  USB_OP_RELEASE_INTERFACE = 5,
  USB_OP_DISCONNECT = 6,
  USB_OP_SUBMIT_URB = 8,
  USB_OP_DISCARD_URB = 9,
  USB_OP_ABORT_ENDPOINT = 11,
  USB_OP_CLEAR_HALT = 12,
  USB_OP_RESET_DEVICE = 13,
  USB_OP_KEEP_ALIVE = 16,
  USB_OP_DEVICE_GONE = 17,     // notice: the device was taken from the client
  USB_OP_PORT_DISABLED = 19,   // notice: the port was disabled from the web pages
  USB_OP_SET_CONFIGURATION = 21,
  USB_OP_TAG_LIST = 22,
  USB_OP_IN_USE_MAP = 23,
  USB_OP_DEVICE_NAME = 24,
  USB_OP_CONNECT = 25,
  USB_OP_PORT_STATUS = 26,
  USB_OP_HELLO = 27,
  USB_OP_URB_PARTIAL = 28,     // only as reply opcode 0x101c (intermediate completion)
  USB_OP_DEVICE_LIST = 29,
};

// A reply's opcode is this bit OR the request's opcode.
constexpr uint32_t USB_REPLY_BIT = 0x1000;

enum UsbReplyStatus : uint32_t {
  USB_STATUS_OK = 0,
  USB_STATUS_PENDING = 1,    // transfer accepted: its completion follows; never sent
  USB_STATUS_CANCELLED = 2,
  USB_STATUS_FAILED = 3,     // error = a Linux errno or one of the values below
  USB_STATUS_REFUSED = 5,    // error = one of the refusal reasons below
};

// Error values the handlers use themselves.
constexpr int32_t USB_ERR_TEXT = 1;        // name or tag list unavailable (status stays OK)
constexpr int32_t USB_ERR_LEGACY = 3;      // the legacy opcodes
constexpr int32_t USB_ERR_NOMEM = 12;
constexpr int32_t USB_ERR_NODEV = 19;      // row not present on the named port
constexpr int32_t USB_ERR_NOCONFIG = 53;   // no configuration with that value
constexpr int32_t USB_ERR_PROTO = 71;      // body unreadable, or device not open
// Refusal reasons (status REFUSED).
constexpr int32_t USB_REFUSED_OWNED = 12;       // the device belongs to another connection
constexpr int32_t USB_REFUSED_TLS = 13;         // the port requires a TLS connection
constexpr int32_t USB_REFUSED_NOT_ALLOWED = 14; // not allowed on this port

// Time-out of every body read and reply write.
constexpr int USB_IO_TIMEOUT_MS = 10000;
// Long request bodies get time beyond USB_IO_TIMEOUT_MS at this rate
// (bytes per second): a slow client is served, a trickling one is not.
constexpr int64_t USB_MIN_BODY_RATE = 64 * 1024;

// The 16-byte request header, decoded. The tag is kept as its big-endian
// value: encoding it again gives the bytes as sent.
struct UsbRequestHeader {
  uint32_t context = 0;        // bytes 0-3; SUBMIT_URB: bytes 0-2 = packet count
  uint32_t opcode = 0;
  uint32_t tag = 0;
  uint32_t payloadLength = 0;

  uint32_t isoPacketCount() const { return context >> 8; }
  uint8_t contextByte() const { return static_cast<uint8_t>(context & 0xFF); }
};

// The 24-byte reply header.
struct UsbReplyHeader {
  uint32_t context = 0;
  uint32_t opcode = 0;
  uint32_t tag = 0;
  uint32_t dataLength = 0;
  uint32_t status = USB_STATUS_OK;
  int32_t error = 0;
};

// The 12-byte transfer descriptor of SUBMIT_URB.
struct UsbTransferDescriptor {
  uint8_t row = 0;
  uint8_t port = 0;
  uint8_t endpoint = 0;   // bit 7 set = IN
  uint8_t type = 0;       // usbfs numbering: 0 iso, 1 interrupt, 2 control, 3 bulk
  uint32_t inLength = 0;
  uint32_t outLength = 0;

  bool isIn() const { return (endpoint & 0x80) != 0; }
};

UsbRequestHeader decodeRequestHeader(const uint8_t in[USB_REQUEST_HEADER_SIZE]);
void encodeRequestHeader(const UsbRequestHeader& h, uint8_t out[USB_REQUEST_HEADER_SIZE]);
UsbReplyHeader decodeReplyHeader(const uint8_t in[USB_REPLY_HEADER_SIZE]);
void encodeReplyHeader(const UsbReplyHeader& h, uint8_t out[USB_REPLY_HEADER_SIZE]);
UsbTransferDescriptor decodeTransferDescriptor(const uint8_t in[USB_TRANSFER_DESCRIPTOR_SIZE]);

// The reply to request: its context word, 0x1000 | opcode, its tag,
// status OK, no data.
UsbReplyHeader makeReplyHeader(const UsbRequestHeader& request);
// The same with only byte 3 of the context word (HELLO, HELLO_LEGACY,
// SUBMIT_URB and transfer completions).
UsbReplyHeader makeShortContextReply(const UsbRequestHeader& request);

// The 18-byte notice {context 1, opcode, tag 0, payload length 2, row, port}.
void encodeUsbNotice(uint32_t opcode, uint8_t row, uint8_t port, uint8_t out[USB_NOTICE_SIZE]);

#endif
