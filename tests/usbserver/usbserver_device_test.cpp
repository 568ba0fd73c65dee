// Requests on devices over real connections: ownership of rows, the
// device handed between connections (takeover, unplug, port disable), the
// reset after a failed configuration and the release of transfers.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "params/store/paramstore.h"
#include "params/types/stringparam.h"
#include "usbserver/connections/usbeventsource.h"
#include "usbserver/connections/usbrowhandover.h"
#include "usbserver/devices/usbdevicetable.h"
#include "usbserver/protocol/wireprotocol.h"
#include "usbserver/support/usbserver_fixture.h"
#include "usbserver/transfers/urbengine.h"

namespace {

std::string ownerText(int row) {
  StringParam* p = paramStore.findString(("usb_owner_" + std::to_string(row + 1)).c_str());
  return p ? p->getText() : "(none)";
}

class UsbDeviceRequestTest : public UsbServerFixture {
 protected:
  void SetUp() override {
    UsbServerFixture::SetUp();
    if (HasFatalFailure()) return;
    plug("1-3", "loopback");
    rescan();
    row_ = rowOf("1-3");
    ASSERT_GE(row_, 0);
    port_ = usbDeviceTable[row_].port;
    startServer();
  }

  uint8_t row() const { return static_cast<uint8_t>(row_); }
  // Row fields the server's threads change under the row mutex.
  template <typename T>
  T locked(T UsbDeviceRow::*field, int index = -1) {
    const int row = index < 0 ? row_ : index;
    muxIn(row);
    const T value = usbDeviceTable[row].*field;
    unlockUsbDeviceRow(row);
    return value;
  }
  int32_t rowHandle() { return locked(&UsbDeviceRow::usbfsHandle); }
  uint8_t port() const { return static_cast<uint8_t>(port_); }
  UsbDeviceRow& tableRow() { return usbDeviceTable[row_]; }

  // An 18-byte notice: its opcode, row and port.
  ::testing::AssertionResult readNotice(UsbTestClient& c, uint32_t opcode, int timeoutMs = 3000) {
    uint8_t raw[USB_NOTICE_SIZE];
    if (!c.readExact(raw, sizeof raw, timeoutMs)) return ::testing::AssertionFailure() << "no notice";
    uint8_t expected[USB_NOTICE_SIZE];
    encodeUsbNotice(opcode, row(), port(), expected);
    if (memcmp(raw, expected, sizeof raw) != 0) return ::testing::AssertionFailure() << "another message";
    return ::testing::AssertionSuccess();
  }

  int row_ = -1;
  int port_ = 0;
};

TEST_F(UsbDeviceRequestTest, RequestsOnAnotherConnectionsDeviceAreRefusedAndChangeNothing) {
  UsbTestClient& owner = client();
  UsbTestClient& intruder = client();
  ASSERT_EQ(USB_STATUS_OK, connectDevice(owner, row_, port_).header.status);
  const int32_t handle = rowHandle();
  ASSERT_GE(handle, 0);

  struct Case {
    uint32_t opcode;
    std::vector<uint8_t> body;
  };
  const std::vector<Case> cases = {
      {USB_OP_DISCONNECT, {row(), port()}},
      {USB_OP_RESET_DEVICE, {row(), port()}},
      {USB_OP_SET_CONFIGURATION, {row(), port(), 1, 0}},
      {USB_OP_SET_CONFIGURATION, {row(), port(), 1, 2, 0, 0, 1, 0}},  // pairs are read too
      {USB_OP_SET_CONFIGURATION, {row(), port(), 0, 0}},
      {USB_OP_RELEASE_INTERFACE, {row(), port(), 0}},
      {USB_OP_CLEAR_HALT, {row(), port(), 0x81}},
      {USB_OP_ABORT_ENDPOINT, {row(), port(), 0x81}},
  };
  for (const Case& c : cases) {
    UsbReply r;
    ASSERT_TRUE(intruder.request(r, c.opcode, 100 + c.opcode, c.body)) << "opcode " << c.opcode;
    EXPECT_EQ(USB_REPLY_BIT | c.opcode, r.header.opcode);
    EXPECT_EQ(USB_STATUS_REFUSED, r.header.status) << "opcode " << c.opcode;
    EXPECT_EQ(USB_REFUSED_OWNED, r.header.error) << "opcode " << c.opcode;
  }
  // The whole bodies were read: the stream is still in step.
  UsbReply r;
  ASSERT_TRUE(intruder.request(r, USB_OP_KEEP_ALIVE, 5, be32(5)));
  EXPECT_EQ(be32(5), r.data);

  EXPECT_EQ(UsbRowState::IN_USE, tableRow().rowState());
  EXPECT_EQ(handle, rowHandle());
  EXPECT_EQ(0, tableRow().resetPending.load());
  waitFor([] { return false; }, 1300);  // past one reset check
  EXPECT_EQ(handle, rowHandle());
  // The owner's device still answers it.
  ASSERT_TRUE(owner.request(r, USB_OP_SET_CONFIGURATION, 6, {row(), port(), 1, 0}));
  EXPECT_EQ(USB_STATUS_OK, r.header.status);
  ASSERT_TRUE(owner.request(r, USB_OP_CLEAR_HALT, 7, {row(), port(), 0x81}));
  EXPECT_EQ(USB_STATUS_OK, r.header.status);
}

TEST_F(UsbDeviceRequestTest, ClaimInterfaceProbesWithoutTouchingAnOpenDevice) {
  UsbTestClient& prober = client();
  UsbReply r;
  ASSERT_TRUE(prober.request(r, USB_OP_CLAIM_INTERFACE, 1, {row(), port(), 0}));
  EXPECT_EQ(USB_STATUS_OK, r.header.status);
  EXPECT_EQ(0, host().openHandleCount());  // the probe gave its handle back

  UsbTestClient& owner = client();
  ASSERT_EQ(USB_STATUS_OK, connectDevice(owner, row_, port_).header.status);
  const int32_t handle = rowHandle();
  ASSERT_TRUE(prober.request(r, USB_OP_CLAIM_INTERFACE, 2, {row(), port(), 0}));
  EXPECT_EQ(USB_STATUS_FAILED, r.header.status);
  EXPECT_EQ(USB_ERR_PROTO, r.header.error);
  EXPECT_EQ(handle, rowHandle());
  EXPECT_EQ(1, host().openHandleCount());

  ASSERT_TRUE(prober.request(r, USB_OP_CLAIM_INTERFACE, 3, {row(), static_cast<uint8_t>(port_ + 1), 0}));
  EXPECT_EQ(USB_ERR_NODEV, r.header.error);
}

TEST_F(UsbDeviceRequestTest, DisconnectOfAWrongPortKeepsTheDevice) {
  UsbTestClient& owner = client();
  ASSERT_EQ(USB_STATUS_OK, connectDevice(owner, row_, port_).header.status);
  const int32_t handle = rowHandle();
  UsbReply r;
  ASSERT_TRUE(owner.request(r, USB_OP_DISCONNECT, 1, {row(), static_cast<uint8_t>(port_ + 1)}));
  EXPECT_EQ(USB_STATUS_FAILED, r.header.status);
  EXPECT_EQ(USB_ERR_NODEV, r.header.error);
  EXPECT_EQ(UsbRowState::IN_USE, tableRow().rowState());
  EXPECT_EQ(handle, rowHandle());
  EXPECT_EQ(1, host().openHandleCount());

  ASSERT_TRUE(owner.request(r, USB_OP_DISCONNECT, 2, {row(), port()}));
  EXPECT_EQ(USB_STATUS_OK, r.header.status);
  EXPECT_EQ(UsbRowState::PRESENT, tableRow().rowState());
  EXPECT_EQ(-1, rowHandle());
  EXPECT_EQ(0, host().openHandleCount());
  EXPECT_EQ("Available", ownerText(row_));
}

TEST_F(UsbDeviceRequestTest, AfterDisconnectAnotherClientConnects) {
  UsbTestClient& first = client();
  UsbTestClient& second = client();
  ASSERT_EQ(USB_STATUS_OK, connectDevice(first, row_, port_, "first").header.status);
  UsbReply r;
  ASSERT_TRUE(first.request(r, USB_OP_SET_CONFIGURATION, 1, {row(), port(), 1, 0}));
  ASSERT_EQ(USB_STATUS_OK, r.header.status);
  ASSERT_TRUE(first.request(r, USB_OP_DISCONNECT, 2, {row(), port()}));
  ASSERT_EQ(USB_STATUS_OK, r.header.status);
  EXPECT_EQ(-1, locked(&UsbDeviceRow::currentConfigIndex));

  ASSERT_EQ(USB_STATUS_OK, connectDevice(second, row_, port_, "second").header.status);
  // The owner text is published just after the device is taken.
  EXPECT_TRUE(waitFor([&] { return ownerText(row_).find("second (") == 0; }, 2000)) << ownerText(row_);
  ASSERT_TRUE(second.request(r, USB_OP_SET_CONFIGURATION, 3, {row(), port(), 1, 0}));
  EXPECT_EQ(USB_STATUS_OK, r.header.status);
  EXPECT_TRUE(first.quietFor(200));  // the first client is not told anything
}

TEST_F(UsbDeviceRequestTest, SetConfigurationFailureFlagsOnlyTheOwnersDevice) {
  UsbTestClient& owner = client();
  ASSERT_EQ(USB_STATUS_OK, connectDevice(owner, row_, port_).header.status);
  const int32_t handle = rowHandle();
  UsbReply r;
  // A wrong port is not a failure of the device.
  ASSERT_TRUE(owner.request(r, USB_OP_SET_CONFIGURATION, 1, {row(), static_cast<uint8_t>(port_ + 1), 1, 0}));
  EXPECT_EQ(USB_ERR_NODEV, r.header.error);
  EXPECT_EQ(0, tableRow().resetPending.load());
  waitFor([] { return false; }, 1300);
  EXPECT_EQ(handle, rowHandle());

  // A value no configuration has: reset and closed within about a second.
  ASSERT_TRUE(owner.request(r, USB_OP_SET_CONFIGURATION, 2, {row(), port(), 9, 0}));
  EXPECT_EQ(USB_STATUS_FAILED, r.header.status);
  EXPECT_NE(0, r.header.error);
  EXPECT_TRUE(waitFor([&] { return rowHandle() < 0; }, 3000));
  EXPECT_EQ(UsbRowState::IN_USE, tableRow().rowState());
  EXPECT_EQ(0, host().openHandleCount());
  ASSERT_TRUE(owner.request(r, USB_OP_CLEAR_HALT, 3, {row(), port(), 0x81}));
  EXPECT_EQ(USB_ERR_PROTO, r.header.error);
}

TEST_F(UsbDeviceRequestTest, TakeoverTellsTheOldOwnerFirstAndClosesItsHandle) {
  UsbTestClient& first = client();
  UsbTestClient& second = client();
  ASSERT_EQ(USB_STATUS_OK, connectDevice(first, row_, port_, "first").header.status);
  ASSERT_EQ(USB_STATUS_OK, connectDevice(second, row_, port_, "second").header.status);
  // DEVICE_GONE was written before the new owner's reply.
  EXPECT_TRUE(readNotice(first, USB_OP_DEVICE_GONE, 100));
  EXPECT_EQ(1, host().openHandleCount());
  // The owner text is published just after the device is taken.
  EXPECT_TRUE(waitFor([&] { return ownerText(row_).find("second (") == 0; }, 2000)) << ownerText(row_);
  // The old owner may no longer act on it.
  UsbReply r;
  ASSERT_TRUE(first.request(r, USB_OP_RESET_DEVICE, 1, {row(), port()}));
  EXPECT_EQ(USB_REFUSED_OWNED, r.header.error);
}

TEST_F(UsbDeviceRequestTest, NoticesNeverSplitTheOwnersReplies) {
  UsbTestClient& first = client();
  UsbTestClient& second = client();
  ASSERT_EQ(USB_STATUS_OK, connectDevice(first, row_, port_).header.status);
  constexpr int kRequests = 400;
  std::atomic<bool> sent{false};
  std::thread writer([&] {
    for (uint32_t i = 0; i < kRequests; ++i) first.send(USB_OP_KEEP_ALIVE, i, be32(i));
    sent = true;
  });
  connectDevice(second, row_, port_);
  // Every frame on the first connection is whole: 28-byte replies in
  // order and one notice.
  int replies = 0;
  int notices = 0;
  while (replies < kRequests) {
    uint8_t head[8];
    ASSERT_TRUE(first.readExact(head, sizeof head, 5000)) << replies << " replies";
    if (getBe32(head + 4) == USB_OP_DEVICE_GONE) {
      uint8_t rest[10];
      ASSERT_TRUE(first.readExact(rest, sizeof rest, 1000));
      EXPECT_EQ(1u, getBe32(head));
      EXPECT_EQ(2u, getBe32(rest + 4));
      EXPECT_EQ(row(), rest[8]);
      ++notices;
      continue;
    }
    ASSERT_EQ(0x1010u, getBe32(head + 4));
    uint8_t rest[20];
    ASSERT_TRUE(first.readExact(rest, sizeof rest, 1000));
    EXPECT_EQ(static_cast<uint32_t>(replies), getBe32(rest));
    EXPECT_EQ(4u, getBe32(rest + 4));
    EXPECT_EQ(static_cast<uint32_t>(replies), getBe32(rest + 16));
    ++replies;
  }
  writer.join();
  EXPECT_TRUE(sent);
  if (notices == 0 && readNotice(first, USB_OP_DEVICE_GONE)) ++notices;
  EXPECT_EQ(1, notices);
}

TEST_F(UsbDeviceRequestTest, UnplugTellsTheOwnerAndReleasesTheRow) {
  UsbTestClient& owner = client();
  ASSERT_EQ(USB_STATUS_OK, connectDevice(owner, row_, port_).header.status);
  unplug("1-3");
  rescan();
  EXPECT_TRUE(readNotice(owner, USB_OP_DEVICE_GONE));
  EXPECT_EQ(UsbRowState::REMOVED, tableRow().rowState());
  EXPECT_EQ(nullptr, locked(&UsbDeviceRow::owner));
  EXPECT_EQ(0, host().openHandleCount());
  UsbReply r;
  ASSERT_TRUE(owner.request(r, USB_OP_HELLO, 1));  // the connection goes on
}

TEST_F(UsbDeviceRequestTest, PortDisableTellsTheOwnerWhoseTaskClosesTheDevice) {
  UsbTestClient& owner = client();
  ASSERT_EQ(USB_STATUS_OK, connectDevice(owner, row_, port_).header.status);
  EXPECT_EQ(1, disableUsbPort(port_));
  EXPECT_TRUE(readNotice(owner, USB_OP_PORT_DISABLED));
  EXPECT_TRUE(waitFor([&] { return rowHandle() < 0; }, 3000));
  EXPECT_EQ(UsbRowState::IN_USE, tableRow().rowState());
  EXPECT_EQ(0, host().openHandleCount());
  EXPECT_EQ(0, tableRow().resetPending.load());
}

TEST_F(UsbDeviceRequestTest, RevokedTransfersAreFreedWithoutCompletion) {
  UsbTestClient& first = client();
  UsbTestClient& second = client();
  ASSERT_EQ(USB_STATUS_OK, connectDevice(first, row_, port_).header.status);
  const int32_t before = urbCount.load();
  muxIn(row_);
  for (int i = 0; i < 3; ++i) {
    UrbRequest* r = newUrbRequest(2);
    ASSERT_NE(nullptr, r);
    r->row = row_;
    r->endpoint = 0x81;
    r->tag = 40 + i;
    r->flags = URB_PREPARED;
    tableRow().transfers.append(r);
  }
  unlockUsbDeviceRow(row_);
  EXPECT_EQ(before + 3, urbCount.load());
  ASSERT_EQ(USB_STATUS_OK, connectDevice(second, row_, port_).header.status);
  EXPECT_TRUE(readNotice(first, USB_OP_DEVICE_GONE, 100));
  EXPECT_TRUE(first.quietFor(300));  // no completions for them
  EXPECT_TRUE(waitFor([&] { return urbCount.load() == before; }, 2000));
  EXPECT_TRUE(tableRow().transfers.empty());
}

TEST_F(UsbDeviceRequestTest, RecycledRowFreesItsTransfers) {
  const int32_t before = urbCount.load();
  muxIn(row_);
  UrbRequest* r = newUrbRequest(1);
  ASSERT_NE(nullptr, r);
  tableRow().transfers.append(r);
  unlockUsbDeviceRow(row_);
  tableRow().recycle();
  EXPECT_EQ(before, urbCount.load());
}

TEST_F(UsbDeviceRequestTest, ConnectingTwiceKeepsOneSourceAndOneHandle) {
  UsbTestClient& owner = client();
  ASSERT_EQ(USB_STATUS_OK, connectDevice(owner, row_, port_).header.status);
  ASSERT_EQ(USB_STATUS_OK, connectDevice(owner, row_, port_).header.status);
  EXPECT_EQ(1, host().openHandleCount());
  muxIn(row_);
  UsbEventSource* source = tableRow().eventSource;
  const int32_t sourceFd = source ? source->fd : -2;
  unlockUsbDeviceRow(row_);
  ASSERT_NE(nullptr, source);
  EXPECT_EQ(rowHandle(), sourceFd);
  unplug("1-3");
  rescan();
  EXPECT_TRUE(readNotice(owner, USB_OP_DEVICE_GONE));
  EXPECT_TRUE(owner.quietFor(300));
  EXPECT_EQ(0, host().openHandleCount());
}

TEST_F(UsbDeviceRequestTest, ConnectionEndReleasesItsDevices) {
  plug("1-4", "hid");
  rescan();
  const int other = rowOf("1-4");
  ASSERT_GE(other, 0);
  {
    UsbTestClient owner;
    ASSERT_TRUE(owner.connect(plainPort_, false));
    ASSERT_EQ(USB_STATUS_OK, connectDevice(owner, row_, port_).header.status);
    ASSERT_EQ(USB_STATUS_OK, connectDevice(owner, other, usbDeviceTable[other].port).header.status);
    EXPECT_EQ(2, host().openHandleCount());
  }
  ASSERT_TRUE(waitConnections(0));
  EXPECT_EQ(UsbRowState::PRESENT, tableRow().rowState());
  EXPECT_EQ(UsbRowState::PRESENT, usbDeviceTable[other].rowState());
  EXPECT_EQ(nullptr, locked(&UsbDeviceRow::owner, other));
  EXPECT_EQ(0, host().openHandleCount());
  EXPECT_EQ("Available", ownerText(row_));
}

TEST_F(UsbDeviceRequestTest, ResetAndAbortOfTheOwnersDevice) {
  UsbTestClient& owner = client();
  ASSERT_EQ(USB_STATUS_OK, connectDevice(owner, row_, port_).header.status);
  UsbReply r;
  ASSERT_TRUE(owner.request(r, USB_OP_SET_CONFIGURATION, 9, {row(), port(), 1, 0}));
  ASSERT_TRUE(owner.request(r, USB_OP_RESET_DEVICE, 1, {row(), port()}));
  EXPECT_EQ(0x100du, r.header.opcode);
  EXPECT_EQ(USB_STATUS_OK, r.header.status);
  ASSERT_TRUE(owner.request(r, USB_OP_ABORT_ENDPOINT, 2, {row(), port(), 0x81}));
  EXPECT_EQ(0x100bu, r.header.opcode);
  EXPECT_EQ(USB_STATUS_OK, r.header.status);
  ASSERT_TRUE(owner.request(r, USB_OP_DISCARD_URB, 3, be32(12345)));
  EXPECT_EQ(0x1009u, r.header.opcode);
  EXPECT_EQ(USB_STATUS_OK, r.header.status);
  ASSERT_TRUE(owner.request(r, USB_OP_RELEASE_INTERFACE, 4, {row(), port(), 0}));
  EXPECT_EQ(0x1005u, r.header.opcode);

  // A row that is present but not in use: reset answers OK without a
  // handle; the others need the device open.
  ASSERT_TRUE(owner.request(r, USB_OP_DISCONNECT, 5, {row(), port()}));
  ASSERT_TRUE(owner.request(r, USB_OP_RESET_DEVICE, 6, {row(), port()}));
  EXPECT_EQ(USB_STATUS_OK, r.header.status);
  for (uint32_t opcode : {USB_OP_CLEAR_HALT, USB_OP_ABORT_ENDPOINT, USB_OP_RELEASE_INTERFACE}) {
    ASSERT_TRUE(owner.request(r, opcode, 7, {row(), port(), 0x81}));
    EXPECT_EQ(USB_STATUS_FAILED, r.header.status) << opcode;
    EXPECT_EQ(USB_ERR_PROTO, r.header.error) << opcode;
  }
}

}  // namespace
