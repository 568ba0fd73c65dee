#include "usbserver/support/urb_test_support.h"

#include <gtest/gtest.h>

#include "usbserver/devices/usbdevicetable.h"

std::vector<uint8_t> transferBody(int row, int port, uint8_t endpoint, uint8_t type, uint32_t inLength,
                                  uint32_t outLength, const std::vector<uint8_t>& outData) {
  std::vector<uint8_t> b(USB_TRANSFER_DESCRIPTOR_SIZE);
  b[0] = static_cast<uint8_t>(row);
  b[1] = static_cast<uint8_t>(port);
  b[2] = endpoint;
  b[3] = type;
  putBe32(&b[4], inLength);
  putBe32(&b[8], outLength);
  b.insert(b.end(), outData.begin(), outData.end());
  return b;
}

std::vector<uint8_t> controlBody(int row, int port, uint8_t requestType, uint8_t request, uint16_t value,
                                 uint16_t index, uint16_t wLength, uint32_t inLength,
                                 const std::vector<uint8_t>& data) {
  std::vector<uint8_t> setup(8);
  setup[0] = requestType;
  setup[1] = request;
  putBe16(&setup[2], value);
  putBe16(&setup[4], index);
  putBe16(&setup[6], wLength);
  setup.insert(setup.end(), data.begin(), data.end());
  return transferBody(row, port, 0, kControl, inLength, static_cast<uint32_t>(setup.size()), setup);
}

std::vector<uint8_t> patternBytes(size_t n, uint8_t start) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(start + i * 7 + (i >> 8));
  return v;
}

bool readCompletions(UsbTestClient& c, std::vector<UsbReply>& out, int timeoutMs) {
  for (;;) {
    UsbReply r;
    if (!c.readReply(r, timeoutMs)) return false;
    out.push_back(r);
    if (r.header.opcode != (USB_REPLY_BIT | USB_OP_URB_PARTIAL)) return true;
  }
}

bool readMessage(UsbTestClient& c, UsbReply& out, bool* notice, int timeoutMs) {
  uint8_t head[USB_REPLY_HEADER_SIZE];
  if (!c.readExact(head, USB_REQUEST_HEADER_SIZE, timeoutMs)) return false;
  const uint32_t opcode = getBe32(head + 4);
  *notice = opcode == USB_OP_DEVICE_GONE || opcode == USB_OP_PORT_DISABLED;
  if (*notice) {
    out.header = UsbReplyHeader();
    out.header.context = getBe32(head);
    out.header.opcode = opcode;
    out.header.dataLength = getBe32(head + 12);
    out.data.assign(2, 0);
    return c.readExact(out.data.data(), 2, timeoutMs);
  }
  if (!c.readExact(head + USB_REQUEST_HEADER_SIZE, USB_REPLY_HEADER_SIZE - USB_REQUEST_HEADER_SIZE, timeoutMs))
    return false;
  out.header = decodeReplyHeader(head);
  if (out.header.dataLength > (1u << 24)) return false;
  out.data.assign(out.header.dataLength, 0);
  return out.data.empty() || c.readExact(out.data.data(), static_cast<int>(out.data.size()), timeoutMs);
}

std::vector<uint8_t> joinedData(const std::vector<UsbReply>& replies) {
  std::vector<uint8_t> all;
  for (const UsbReply& r : replies) all.insert(all.end(), r.data.begin(), r.data.end());
  return all;
}

UrbServerFixture::Device UrbServerFixture::plugDevice(const std::string& devpath, const std::string& kind) {
  plug(devpath, kind);
  rescan();
  Device d;
  d.row = rowOf(devpath);
  EXPECT_GE(d.row, 0) << devpath;
  if (d.row >= 0) d.port = usbDeviceTable[d.row].port;
  EXPECT_GT(d.port, 0) << devpath;
  return d;
}

void UrbServerFixture::attach(UsbTestClient& c, const Device& d) {
  const UsbReply connected = connectDevice(c, d.row, d.port);
  ASSERT_EQ(USB_STATUS_OK, connected.header.status) << connected.header.error;
  UsbReply configured;
  const std::vector<uint8_t> body = {static_cast<uint8_t>(d.row), static_cast<uint8_t>(d.port), 1, 0};
  ASSERT_TRUE(c.request(configured, USB_OP_SET_CONFIGURATION, 0x77, body));
  ASSERT_EQ(USB_STATUS_OK, configured.header.status) << configured.header.error;
}

UsbTestClient& UrbServerFixture::serve(const std::string& devpath, const std::string& kind, Device* out, bool tls) {
  *out = plugDevice(devpath, kind);
  startServer();
  UsbTestClient& c = client(tls);
  attach(c, *out);
  return c;
}

bool UrbServerFixture::submit(UsbTestClient& c, uint32_t tag, const std::vector<uint8_t>& body) {
  return c.send(USB_OP_SUBMIT_URB, tag, body, kUrbContext);
}

UsbReply UrbServerFixture::control(UsbTestClient& c, const Device& d, uint8_t requestType, uint8_t request,
                                   uint16_t value, uint16_t index, uint16_t wLength, uint32_t inLength,
                                   const std::vector<uint8_t>& data) {
  UsbReply reply;
  const bool sent = submit(c, 0xC0, controlBody(d.row, d.port, requestType, request, value, index, wLength,
                                                inLength, data));
  EXPECT_TRUE(sent && c.readReply(reply)) << "no reply to the control transfer";
  return reply;
}

std::vector<UsbReply> UrbServerFixture::transfer(UsbTestClient& c, const Device& d, uint8_t endpoint, uint8_t type,
                                                 uint32_t inLength, const std::vector<uint8_t>& outData) {
  std::vector<UsbReply> replies;
  const uint32_t outLength = (endpoint & 0x80) ? 0 : static_cast<uint32_t>(outData.size());
  EXPECT_TRUE(submit(c, 0x7A7A, transferBody(d.row, d.port, endpoint, type, inLength, outLength, outData)));
  EXPECT_TRUE(readCompletions(c, replies)) << "no final completion";
  return replies;
}
