// A client session as the command-line client runs it, through the client
// library, over plain TCP and TLS.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/usbclientlib.h"
#include "usbserver/devices/usbdevicetable.h"
#include "usbserver/support/usbserver_fixture.h"

namespace {

class UsbClientSessionTest : public UsbServerFixture, public ::testing::WithParamInterface<bool> {
 protected:
  void SetUp() override {
    UsbServerFixture::SetUp();
    if (HasFatalFailure()) return;
    plug("1-1", "hub 4");
    plug("1-1.2", "loopback");
    plug("1-1.3", "hid");
    rescan();
    startServer();
  }
  int port() const { return GetParam() ? tlsPort_ : plainPort_; }
};

TEST_P(UsbClientSessionTest, HelloListConnectConfigureDisconnect) {
  usbclient::Client c;
  ASSERT_TRUE(c.open("127.0.0.1", port(), GetParam(), 5000)) << c.lastError();
  uint16_t values[4] = {};
  ASSERT_TRUE(c.hello(0x01020304, values));
  EXPECT_EQ(7, values[0]);
  EXPECT_EQ(180, values[2]);
  EXPECT_EQ(USB_MAXDEVS, values[3]);
  std::vector<usbclient::Device> devices;
  ASSERT_TRUE(c.listDevices(devices));
  ASSERT_EQ(2u, devices.size());
  const usbclient::Device d = devices[0];

  usbclient::Message reply;
  ASSERT_TRUE(c.connect(d.row, d.port, "session", reply));
  ASSERT_EQ(usbclient::STATUS_OK, reply.status);
  ASSERT_TRUE(c.setConfiguration(d.row, d.port, 1, reply));
  EXPECT_EQ(usbclient::STATUS_OK, reply.status);
  ASSERT_TRUE(c.portStatus(d.row, d.port, reply));
  ASSERT_GE(reply.data.size(), 4u);
  EXPECT_EQ(1, reply.data[3]);  // in use
  ASSERT_TRUE(c.disconnect(d.row, d.port, reply));
  EXPECT_EQ(usbclient::STATUS_OK, reply.status);
  ASSERT_TRUE(c.portStatus(d.row, d.port, reply));
  EXPECT_EQ(0, reply.data[3]);
  EXPECT_TRUE(c.notices().empty());
  EXPECT_EQ(0, host().openHandleCount());
}

TEST_P(UsbClientSessionTest, TakenDeviceIsReportedToTheFirstClient) {
  usbclient::Client first;
  usbclient::Client second;
  ASSERT_TRUE(first.open("127.0.0.1", port(), GetParam(), 5000));
  ASSERT_TRUE(second.open("127.0.0.1", port(), GetParam(), 5000));
  std::vector<usbclient::Device> devices;
  ASSERT_TRUE(first.listDevices(devices));
  ASSERT_FALSE(devices.empty());
  const usbclient::Device d = devices.back();
  usbclient::Message reply;
  ASSERT_TRUE(first.connect(d.row, d.port, "first", reply));
  ASSERT_EQ(usbclient::STATUS_OK, reply.status);
  ASSERT_TRUE(second.connect(d.row, d.port, "second", reply));
  ASSERT_EQ(usbclient::STATUS_OK, reply.status) << reply.error;
  usbclient::Message notice;
  ASSERT_TRUE(first.readMessage(notice));
  EXPECT_TRUE(notice.notice);
  EXPECT_EQ(usbclient::OP_DEVICE_GONE, notice.opcode);
  EXPECT_EQ((std::vector<uint8_t>{static_cast<uint8_t>(d.row), static_cast<uint8_t>(d.port)}), notice.data);
  EXPECT_TRUE(second.notices().empty());
}

INSTANTIATE_TEST_SUITE_P(PlainAndTls, UsbClientSessionTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) { return info.param ? "Tls" : "Plain"; });

}  // namespace
