#include "usbserver/protocol/wireprotocol.h"

UsbRequestHeader decodeRequestHeader(const uint8_t in[USB_REQUEST_HEADER_SIZE]) {
  UsbRequestHeader h;
  h.context = getBe32(in);
  h.opcode = getBe32(in + 4);
  h.tag = getBe32(in + 8);
  h.payloadLength = getBe32(in + 12);
  return h;
}

void encodeRequestHeader(const UsbRequestHeader& h, uint8_t out[USB_REQUEST_HEADER_SIZE]) {
  putBe32(out, h.context);
  putBe32(out + 4, h.opcode);
  putBe32(out + 8, h.tag);
  putBe32(out + 12, h.payloadLength);
}

UsbReplyHeader decodeReplyHeader(const uint8_t in[USB_REPLY_HEADER_SIZE]) {
  UsbReplyHeader h;
  h.context = getBe32(in);
  h.opcode = getBe32(in + 4);
  h.tag = getBe32(in + 8);
  h.dataLength = getBe32(in + 12);
  h.status = getBe32(in + 16);
  h.error = static_cast<int32_t>(getBe32(in + 20));
  return h;
}

void encodeReplyHeader(const UsbReplyHeader& h, uint8_t out[USB_REPLY_HEADER_SIZE]) {
  putBe32(out, h.context);
  putBe32(out + 4, h.opcode);
  putBe32(out + 8, h.tag);
  putBe32(out + 12, h.dataLength);
  putBe32(out + 16, h.status);
  putBe32(out + 20, static_cast<uint32_t>(h.error));
}

UsbTransferDescriptor decodeTransferDescriptor(const uint8_t in[USB_TRANSFER_DESCRIPTOR_SIZE]) {
  UsbTransferDescriptor d;
  d.row = in[0];
  d.port = in[1];
  d.endpoint = in[2];
  d.type = in[3];
  d.inLength = getBe32(in + 4);
  d.outLength = getBe32(in + 8);
  return d;
}

UsbReplyHeader makeReplyHeader(const UsbRequestHeader& request) {
  UsbReplyHeader r;
  r.context = request.context;
  r.opcode = USB_REPLY_BIT | request.opcode;
  r.tag = request.tag;
  return r;
}

UsbReplyHeader makeShortContextReply(const UsbRequestHeader& request) {
  UsbReplyHeader r = makeReplyHeader(request);
  r.context = request.contextByte();
  return r;
}

void encodeUsbNotice(uint32_t opcode, uint8_t row, uint8_t port, uint8_t out[USB_NOTICE_SIZE]) {
  putBe32(out, 1);
  putBe32(out + 4, opcode);
  putBe32(out + 8, 0);
  putBe32(out + 12, 2);
  out[16] = row;
  out[17] = port;
}
