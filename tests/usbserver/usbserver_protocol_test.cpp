// The wire protocol over real connections to an in-process server: the
// informational requests, framing, ignored and closing opcodes.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <string>

#include "runtime/tls/tlsconnection.h"
#include "usbserver/devices/usbdevicetable.h"
#include "usbserver/protocol/usbhandlers.h"
#include "usbserver/protocol/wireprotocol.h"
#include "usbserver/support/usbserver_fixture.h"

namespace {

class UsbProtocolTest : public UsbServerFixture {
 protected:
  void SetUp() override {
    UsbServerFixture::SetUp();
    if (HasFatalFailure()) return;
    startServer();
  }
};

TEST(UsbWireFormat, HeadersRoundTripBigEndian) {
  const uint8_t raw[16] = {0x01, 0x02, 0x03, 0x04, 0, 0, 0, 27, 0xde, 0xad, 0xbe, 0xef, 0, 0, 0x01, 0xbc};
  const UsbRequestHeader h = decodeRequestHeader(raw);
  EXPECT_EQ(0x01020304u, h.context);
  EXPECT_EQ(0x010203u, h.isoPacketCount());
  EXPECT_EQ(4, h.contextByte());
  EXPECT_EQ(27u, h.opcode);
  EXPECT_EQ(0xdeadbeefu, h.tag);
  EXPECT_EQ(444u, h.payloadLength);
  uint8_t back[16];
  encodeRequestHeader(h, back);
  EXPECT_EQ(0, memcmp(raw, back, sizeof raw));

  UsbReplyHeader r = makeShortContextReply(h);
  r.status = USB_STATUS_FAILED;
  r.error = -19;
  uint8_t out[24];
  encodeReplyHeader(r, out);
  const uint8_t expected[24] = {0, 0, 0, 4, 0, 0, 0x10, 0x1b, 0xde, 0xad, 0xbe, 0xef,
                                0, 0, 0, 0, 0, 0, 0, 3, 0xff, 0xff, 0xff, 0xed};
  EXPECT_EQ(0, memcmp(expected, out, sizeof out));

  uint8_t notice[USB_NOTICE_SIZE];
  encodeUsbNotice(USB_OP_DEVICE_GONE, 7, 3, notice);
  const uint8_t gone[18] = {0, 0, 0, 1, 0, 0, 0, 17, 0, 0, 0, 0, 0, 0, 0, 2, 7, 3};
  EXPECT_EQ(0, memcmp(gone, notice, sizeof gone));
}

TEST_F(UsbProtocolTest, HelloRepliesWithTheTableSizeAndLegacyHelloFails) {
  UsbTestClient& c = client();
  UsbReply r;
  ASSERT_TRUE(c.request(r, USB_OP_HELLO, 0xA1B2C3D4, {}, 0x11223344));
  EXPECT_EQ(0x44u, r.header.context);  // only the context's last byte
  EXPECT_EQ(0x101bu, r.header.opcode);
  EXPECT_EQ(0xA1B2C3D4u, r.header.tag);
  EXPECT_EQ(USB_STATUS_OK, r.header.status);
  EXPECT_EQ(0, r.header.error);
  ASSERT_EQ(8u, r.data.size());  // a 32-byte reply
  EXPECT_EQ(7, getBe16(&r.data[0]));
  EXPECT_EQ(0, getBe16(&r.data[2]));
  EXPECT_EQ(180, getBe16(&r.data[4]));
  EXPECT_EQ(USB_MAXDEVS, getBe16(&r.data[6]));

  ASSERT_TRUE(c.request(r, USB_OP_HELLO_LEGACY, 5, {}, 0x99887766));
  EXPECT_EQ(0x66u, r.header.context);
  EXPECT_EQ(0x1001u, r.header.opcode);
  EXPECT_EQ(USB_STATUS_FAILED, r.header.status);
  EXPECT_EQ(USB_ERR_LEGACY, r.header.error);
  ASSERT_EQ(6u, r.data.size());  // a 30-byte reply
  EXPECT_EQ(7, getBe16(&r.data[0]));
  EXPECT_EQ(180, getBe16(&r.data[4]));
}

TEST_F(UsbProtocolTest, KeepAliveEchoesItsFourBytes) {
  UsbTestClient& c = client();
  UsbReply r;
  ASSERT_TRUE(c.request(r, USB_OP_KEEP_ALIVE, 77, {0xfe, 0x00, 0x12, 0x80}, 0x01020304));
  EXPECT_EQ(0x01020304u, r.header.context);
  EXPECT_EQ(0x1010u, r.header.opcode);
  EXPECT_EQ(77u, r.header.tag);
  EXPECT_EQ(USB_STATUS_OK, r.header.status);
  EXPECT_EQ((std::vector<uint8_t>{0xfe, 0x00, 0x12, 0x80}), r.data);
}

TEST_F(UsbProtocolTest, DeviceNameIsTheSystemName) {
  setTextParam("sys_name", "usb-box-3");
  UsbTestClient& c = client();
  UsbReply r;
  ASSERT_TRUE(c.request(r, USB_OP_DEVICE_NAME, 1));
  EXPECT_EQ(0x1018u, r.header.opcode);
  EXPECT_EQ(USB_STATUS_OK, r.header.status);
  EXPECT_EQ(0, r.header.error);
  EXPECT_EQ("usb-box-3", std::string(r.data.begin(), r.data.end()));  // no terminator
  setTextParam("sys_name", "");
}

TEST_F(UsbProtocolTest, TagListNamesTaggedPortsInOrder) {
  UsbTestClient& c = client();
  UsbReply r;
  ASSERT_TRUE(c.request(r, USB_OP_TAG_LIST, 2));
  EXPECT_EQ(0x1016u, r.header.opcode);
  EXPECT_EQ(std::vector<uint8_t>{0}, r.data);  // no tags: the final 0 only

  setTextParam("zov_tag_5", "scanner");
  setTextParam("zov_tag_2", "printer");
  ASSERT_TRUE(c.request(r, USB_OP_TAG_LIST, 3));
  const std::string expected = std::string("\x02printer\0\x05scanner\0\0", 19);
  EXPECT_EQ(expected, std::string(r.data.begin(), r.data.end()));
  EXPECT_EQ(19u, r.header.dataLength);
  setTextParam("zov_tag_5", "");
  setTextParam("zov_tag_2", "");
}

TEST_F(UsbProtocolTest, InUseMapShowsConnectedRows) {
  plug("1-2", "loopback");
  plug("1-3", "hid");
  rescan();
  const int row = rowOf("1-3");
  ASSERT_GE(row, 0);
  UsbTestClient& owner = client();
  UsbTestClient& viewer = client();
  UsbReply r;
  ASSERT_TRUE(viewer.request(r, USB_OP_IN_USE_MAP, 1));
  EXPECT_EQ(0x1017u, r.header.opcode);
  ASSERT_EQ(4u, r.data.size());
  EXPECT_EQ(0u, getBe32(r.data.data()));
  ASSERT_EQ(USB_STATUS_OK, connectDevice(owner, row, usbDeviceTable[row].port).header.status);
  ASSERT_TRUE(viewer.request(r, USB_OP_IN_USE_MAP, 2));
  EXPECT_EQ(1u << row, getBe32(r.data.data()));
}

// Handlers called directly on this thread, without a server and its rescans.
using UsbHandlerTest = UsbTableFixture;

TEST_F(UsbHandlerTest, InUseMapCannotShowRowsFrom32On) {
  ASSERT_EQ(40, USB_MAXDEVS);
  for (int row : {4, 31, 33, 39}) {
    usbDeviceTable[row].port = 3;
    usbDeviceTable[row].setRowState(UsbRowState::IN_USE);
  }
  DirectUsbConnection direct;
  UsbRequestHeader h;
  h.opcode = USB_OP_IN_USE_MAP;
  ASSERT_EQ(0, sendInUseMap(direct.connection(), h));
  UsbReply r;
  ASSERT_TRUE(direct.readReply(r));
  ASSERT_EQ(4u, r.data.size());
  EXPECT_EQ((1u << 4) | (1u << 31), getBe32(r.data.data()));
  for (int row : {4, 31, 33, 39}) usbDeviceTable[row].setRowState(UsbRowState::FREE);
}

TEST_F(UsbProtocolTest, PortStatusShowsTheOwnerAddressAndName) {
  plug("1-4", "loopback");
  rescan();
  const int row = rowOf("1-4");
  ASSERT_GE(row, 0);
  const int port = usbDeviceTable[row].port;
  UsbTestClient& viewer = client();
  UsbReply r;
  ASSERT_TRUE(viewer.request(r, USB_OP_PORT_STATUS, 1, {static_cast<uint8_t>(row), static_cast<uint8_t>(port + 1)}));
  EXPECT_EQ(0x101au, r.header.opcode);
  EXPECT_EQ(USB_STATUS_FAILED, r.header.status);
  EXPECT_EQ(USB_ERR_NODEV, r.header.error);
  EXPECT_TRUE(r.data.empty());

  ASSERT_TRUE(viewer.request(r, USB_OP_PORT_STATUS, 2, {static_cast<uint8_t>(row), static_cast<uint8_t>(port)}));
  EXPECT_EQ(USB_STATUS_OK, r.header.status);
  EXPECT_EQ(be32(0), r.data);

  UsbTestClient& owner = client();
  ASSERT_EQ(USB_STATUS_OK, connectDevice(owner, row, port, "alice").header.status);
  ASSERT_TRUE(viewer.request(r, USB_OP_PORT_STATUS, 3, {static_cast<uint8_t>(row), static_cast<uint8_t>(port)}));
  ASSERT_GE(r.data.size(), 13u);
  EXPECT_EQ(1u, getBe32(r.data.data()));
  const std::vector<uint8_t> record(r.data.begin() + 4, r.data.begin() + 13);
  EXPECT_EQ((std::vector<uint8_t>{3, 4, 0, 0, 0, 127, 0, 0, 1}), record);
  // The owner text up to its "(": the name and the blank before it.
  EXPECT_EQ("alice ", std::string(r.data.begin() + 13, r.data.end()));
  EXPECT_EQ(r.data.size(), r.header.dataLength);

  setIntParam(("zov_sec_" + std::to_string(port)).c_str(), 1);
  ASSERT_TRUE(viewer.request(r, USB_OP_PORT_STATUS, 4, {static_cast<uint8_t>(row), static_cast<uint8_t>(port)}));
  EXPECT_EQ(3u, getBe32(r.data.data()));
  setIntParam(("zov_sec_" + std::to_string(port)).c_str(), 0);
}

TEST_F(UsbProtocolTest, IgnoredOpcodesGetNoReplyAndKeepTheConnection) {
  UsbTestClient& c = client();
  for (uint32_t opcode : {3u, 7u, 18u, 20u}) {
    ASSERT_TRUE(c.send(opcode, opcode));
    EXPECT_TRUE(c.quietFor(200)) << "opcode " << opcode;
  }
  UsbReply r;
  ASSERT_TRUE(c.request(r, USB_OP_HELLO, 9));
  EXPECT_EQ(9u, r.header.tag);
}

TEST_F(UsbProtocolTest, UnservedOpcodesCloseTheConnection) {
  for (uint32_t opcode : {0u, 10u, 14u, 15u, 17u, 19u, 28u, 30u, 31u, 0x1001u, 0xffffffffu}) {
    UsbTestClient& c = client();
    ASSERT_TRUE(c.send(opcode, 1));
    EXPECT_TRUE(c.closedByServer(3000)) << "opcode " << opcode;
  }
  EXPECT_TRUE(waitConnections(0));
}

TEST_F(UsbProtocolTest, ShortBodyOfAProbeAnswersProtocolError) {
  UsbTestClient& c = client();
  ASSERT_TRUE(c.send(USB_OP_CLAIM_INTERFACE, 4, {0, 1}));  // one byte short
  ::shutdown(c.socket().fd, SHUT_WR);
  UsbReply r;
  ASSERT_TRUE(c.readReply(r));
  EXPECT_EQ(0x1004u, r.header.opcode);
  EXPECT_EQ(USB_STATUS_FAILED, r.header.status);
  EXPECT_EQ(USB_ERR_PROTO, r.header.error);
}

TEST_F(UsbProtocolTest, SeveralRequestsInOneSegmentAreAllServed) {
  for (bool tls : {false, true}) {
    UsbTestClient& c = client(tls);
    std::vector<uint8_t> bytes;
    for (uint32_t tag = 1; tag <= 3; ++tag) {
      UsbRequestHeader h;
      h.opcode = USB_OP_KEEP_ALIVE;
      h.tag = tag;
      uint8_t raw[16];
      encodeRequestHeader(h, raw);
      bytes.insert(bytes.end(), raw, raw + 16);
      const std::vector<uint8_t> v = be32(tag * 11);
      bytes.insert(bytes.end(), v.begin(), v.end());
    }
    ASSERT_TRUE(c.sendRaw(bytes.data(), bytes.size()));
    for (uint32_t tag = 1; tag <= 3; ++tag) {
      UsbReply r;
      ASSERT_TRUE(c.readReply(r, 3000)) << (tls ? "TLS" : "plain") << " tag " << tag;
      EXPECT_EQ(tag, r.header.tag);
      EXPECT_EQ(be32(tag * 11), r.data);
    }
  }
}

}  // namespace
