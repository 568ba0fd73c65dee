// Control transfers through the server: descriptors from the caches and the
// usbfs node, the requests open to clients that do not own the device,
// the owner's requests on the device, the special devices, and bodies whose
// lengths do not fit.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>

#include <cstring>
#include <string>

#include "platform/simusb/simusbdescriptors.h"
#include "platform/simusb/usbhost_sim.h"
#include "platform/usb/usbhost.h"
#include "runtime/tls/tlsconnection.h"
#include "usbserver/devices/usbdevicetable.h"
#include "usbserver/support/urb_test_support.h"

namespace {

constexpr uint32_t kStatusOk = USB_STATUS_OK;
constexpr uint32_t kFailed = USB_STATUS_FAILED;
constexpr uint32_t kRefused = USB_STATUS_REFUSED;

class CtrlReqTest : public UrbServerFixture {
 protected:
  // Plugs the device and starts the server; no client owns the device.
  Device offer(const std::string& kind) {
    Device d = plugDevice("1-3", kind);
    startServer();
    return d;
  }

  // What reading the device's usbfs node gives.
  std::vector<uint8_t> nodeBytes(const Device& d) {
    const UsbDeviceRow& row = usbDeviceTable[d.row];
    const int fd = usbHost().openDevice(row.busnum, row.devnum, O_RDONLY);
    EXPECT_GE(fd, 0);
    std::vector<uint8_t> all;
    uint8_t chunk[4096];
    for (int n; fd >= 0 && (n = usbHost().readDevice(fd, chunk, sizeof chunk)) > 0;) all.insert(all.end(), chunk, chunk + n);
    if (fd >= 0) usbHost().closeDevice(fd);
    return all;
  }

  // Configuration index of the node bytes.
  static std::vector<uint8_t> configurationOf(const std::vector<uint8_t>& node, int index) {
    size_t pos = node[0];
    for (int i = 0; i < index; ++i) pos += node[pos + 2] | node[pos + 3] << 8;
    const size_t total = node[pos + 2] | node[pos + 3] << 8;
    return std::vector<uint8_t>(node.begin() + static_cast<long>(pos), node.begin() + static_cast<long>(pos + total));
  }

  static void expectAnswer(const UsbReply& r, uint32_t status, int32_t error, const std::vector<uint8_t>& data = {}) {
    EXPECT_EQ(USB_REPLY_BIT | USB_OP_SUBMIT_URB, r.header.opcode);
    EXPECT_EQ(kUrbContext, r.header.context);
    EXPECT_EQ(status, r.header.status);
    EXPECT_EQ(error, r.header.error);
    EXPECT_EQ(data, r.data);
  }

  static void expectAlive(UsbTestClient& c) {
    UsbReply r;
    ASSERT_TRUE(c.request(r, USB_OP_KEEP_ALIVE, 0x5151, {1, 2, 3, 4})) << "the next request is understood";
    EXPECT_EQ(USB_REPLY_BIT | USB_OP_KEEP_ALIVE, r.header.opcode);
    EXPECT_EQ(0x5151u, r.header.tag);
  }

  static std::vector<uint8_t> deviceDescriptor(const Device& d, size_t n) {
    const uint8_t* p = usbDeviceTable[d.row].descriptors.device;
    return std::vector<uint8_t>(p, p + n);
  }
};

TEST_F(CtrlReqTest, DescriptorsAreAnsweredWithoutTheDevice) {
  const Device d = offer("loopback");
  UsbTestClient& c = client();
  const std::vector<uint8_t> node = nodeBytes(d);
  const std::vector<uint8_t> config = configurationOf(node, 0);
  ASSERT_GT(config.size(), 9u);

  struct Case {
    const char* what;
    uint16_t value, index, wLength;
    uint32_t inLength;
    std::vector<uint8_t> expected;
  } cases[] = {
      {"device", 0x0100, 0, 18, 18, deviceDescriptor(d, 18)},
      {"device, wLength 8", 0x0100, 0, 8, 64, deviceDescriptor(d, 8)},
      {"device, IN length 4", 0x0100, 0, 18, 4, deviceDescriptor(d, 4)},
      {"device, no IN length", 0x0100, 0, 18, 0, {}},
      {"configuration header", 0x0200, 0, 9, 9, std::vector<uint8_t>(config.begin(), config.begin() + 9)},
      {"configuration, 4 bytes", 0x0200, 0, 4, 4, std::vector<uint8_t>(config.begin(), config.begin() + 4)},
      {"configuration whole", 0x0200, 0, 1024, 1024, config},
      {"product string", 0x0302, kSimUsbLanguage, 255, 255, encodeStringDescriptor("Sim Loopback")},
      {"product string, any language", 0x0302, 0, 255, 255, encodeStringDescriptor("Sim Loopback")},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    fault("1-3", "stall 0");  // the next control request that reaches the device fails
    expectAnswer(control(c, d, 0x80, 6, k.value, k.index, k.wLength, k.inLength), kStatusOk, 0, k.expected);
  }
}

TEST_F(CtrlReqTest, ConfigurationIndexMustBeBelowTheCount) {
  const Device d = offer("loopback configs=2");
  UsbTestClient& c = client();
  const std::vector<uint8_t> second = configurationOf(nodeBytes(d), 1);
  expectAnswer(control(c, d, 0x80, 6, 0x0201, 0, 1024, 1024), kStatusOk, 0, second);
  expectAnswer(control(c, d, 0x80, 6, 0x0202, 0, 1024, 1024), kFailed, 53);  // index = count
  expectAnswer(control(c, d, 0x80, 6, 0x02FF, 0, 1024, 1024), kFailed, 53);
}

TEST_F(CtrlReqTest, StringsMissingFromTheCache) {
  const Device d = offer("loopback");
  UsbTestClient& c = client();
  // A string the device does not have: the empty string.
  expectAnswer(control(c, d, 0x80, 6, 0x0305, kSimUsbLanguage, 255, 255), kStatusOk, 0, {2, 3});
  // Too short for even that, and the OS strings that are asked only at probe.
  expectAnswer(control(c, d, 0x80, 6, 0x0305, kSimUsbLanguage, 1, 1), kRefused, 3);
  expectAnswer(control(c, d, 0x80, 6, 0x03EF, kSimUsbLanguage, 255, 255), kRefused, 3);

  // A string not cached is fetched once and then answered from the cache.
  usbDeviceTable[d.row].clearStringCache();
  expectAnswer(control(c, d, 0x80, 6, 0x0301, kSimUsbLanguage, 255, 255), kStatusOk, 0,
               encodeStringDescriptor("Simulated Devices"));
  fault("1-3", "stall 0");
  expectAnswer(control(c, d, 0x80, 6, 0x0301, kSimUsbLanguage, 255, 255), kStatusOk, 0,
               encodeStringDescriptor("Simulated Devices"));
}

TEST_F(CtrlReqTest, OtherClientsMaySendOnlyTheVendorInRequest) {
  const Device d = offer("loopback");
  UsbTestClient& owner = client();
  attach(owner, d);
  UsbTestClient& other = client();
  const std::string id = "SIMLOOP1";
  expectAnswer(control(other, d, 0xC0, 1, 0, 0, 8, 8), kStatusOk, 0, std::vector<uint8_t>(id.begin(), id.end()));
  expectAnswer(control(other, d, 0xC0, 1, 0, 0, 8, 3), kStatusOk, 0, std::vector<uint8_t>(id.begin(), id.begin() + 3));
  expectAnswer(control(other, d, 0x40, 2, 0, 0, 3, 0, {1, 2, 3}), kRefused, 12);
  expectAnswer(control(other, d, 0x80, 0, 0, 0, 2, 2), kRefused, 12);
  expectAnswer(control(other, d, 0x01, 11, 0, 0, 0, 0), kRefused, 12);
  expectAnswer(control(other, d, 0x02, 1, 0, 0x81, 0, 0), kRefused, 12);
  expectAlive(other);

  // The owner's transfers went on undisturbed.
  const std::vector<uint8_t> data = patternBytes(300);
  transfer(owner, d, 0x01, kBulk, 0, data);
  EXPECT_EQ(data, joinedData(transfer(owner, d, 0x81, kBulk, 300)));
}

TEST_F(CtrlReqTest, OwnerRequestsGoToTheDevice) {
  Device d;
  UsbTestClient& c = serve("1-3", "loopback", &d);
  expectAnswer(control(c, d, 0x80, 0, 0, 0, 2, 2), kStatusOk, 0, {0, 0});    // GET_STATUS
  expectAnswer(control(c, d, 0x80, 8, 0, 0, 1, 1), kStatusOk, 0, {1});       // GET_CONFIGURATION
  // The IN length bounds what the device is asked for: without room it stalls.
  expectAnswer(control(c, d, 0x80, 8, 0, 0, 1, 0), kFailed, 32);
  expectAnswer(control(c, d, 0x40, 2, 0, 0, 5, 0, {1, 2, 3, 4, 5}), kStatusOk, 0);  // vendor OUT
  expectAnswer(control(c, d, 0x81, 6, 0x2200, 0, 64, 64), kFailed, 32);      // stalled by the device
  fault("1-3", "stall 0");
  expectAnswer(control(c, d, 0x80, 0, 0, 0, 2, 2), kFailed, 32);
  expectAnswer(control(c, d, 0x80, 6, 0x0100, 0, 18, 18), kStatusOk, 0, deviceDescriptor(d, 18));
}

TEST_F(CtrlReqTest, SetInterfaceAndClearFeatureAreUsbfsCalls) {
  Device d;
  UsbTestClient& c = serve("1-3", "loopback", &d);
  expectAnswer(control(c, d, 0x01, 11, 0, 0, 0, 0), kStatusOk, 0);   // interface 0, alternate 0
  expectAnswer(control(c, d, 0x01, 11, 0, 7, 0, 0), kRefused, 53);   // no interface 7
  expectAnswer(control(c, d, 0x02, 1, 0, 0x85, 0, 0), kRefused, 53);  // no endpoint 0x85

  // A stalled endpoint, cleared by CLEAR_FEATURE(ENDPOINT_HALT) and by CLEAR_HALT.
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round == 0 ? "CLEAR_FEATURE" : "CLEAR_HALT");
    fault("1-3", "stall 0x81");
    const std::vector<UsbReply> stalled = transfer(c, d, 0x81, kBulk, 64);
    ASSERT_EQ(1u, stalled.size());
    EXPECT_EQ(kFailed, stalled[0].header.status);
    EXPECT_EQ(-32, stalled[0].header.error);
    if (round == 0) {
      expectAnswer(control(c, d, 0x02, 1, 0, 0x81, 0, 0), kStatusOk, 0);
    } else {
      UsbReply cleared;
      ASSERT_TRUE(c.request(cleared, USB_OP_CLEAR_HALT, 0x12,
                            {static_cast<uint8_t>(d.row), static_cast<uint8_t>(d.port), 0x81}));
      EXPECT_EQ(kStatusOk, cleared.header.status);
    }
    const std::vector<uint8_t> data = patternBytes(40);
    transfer(c, d, 0x01, kBulk, 0, data);
    EXPECT_EQ(data, joinedData(transfer(c, d, 0x81, kBulk, 40)));
  }
}

TEST_F(CtrlReqTest, ControlTimeOutResetsOnlyTheDeviceThatNeedsIt) {
  struct Case {
    const char* ids;
    bool reset;
  } cases[] = {{"vid=0529 pid=0001", true}, {"vid=1209 pid=0002", false}};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.ids);
    Device d;
    UsbTestClient& c = serve("1-3", std::string("loopback ") + k.ids, &d);
    fault("1-3", "stall 0x81");
    fault("1-3", "timeout 0");
    expectAnswer(control(c, d, 0x80, 0, 0, 0, 2, 2), kFailed, 110);
    // A reset clears the halt of the endpoint.
    transfer(c, d, 0x01, kBulk, 0, {1, 2, 3});
    const std::vector<UsbReply> in = transfer(c, d, 0x81, kBulk, 3);
    ASSERT_EQ(1u, in.size());
    EXPECT_EQ(k.reset ? kStatusOk : kFailed, in[0].header.status);
    stopServer();
    unplug("1-3");
    passQuarantine();
    rescan();
  }
}

TEST_F(CtrlReqTest, LaterConfigurationsOfThe110a1151ComeFromTheDevice) {
  const Device d = offer("loopback vid=110a pid=1151 configs=2");
  const std::vector<uint8_t> node = nodeBytes(d);
  UsbTestClient& other = client();
  expectAnswer(control(other, d, 0x80, 6, 0x0201, 0, 1024, 1024), kRefused, 12);
  expectAnswer(control(other, d, 0x80, 6, 0x0200, 0, 1024, 1024), kStatusOk, 0, configurationOf(node, 0));

  UsbTestClient& owner = client();
  attach(owner, d);
  UsbDeviceRow& row = usbDeviceTable[d.row];
  muxIn(d.row);
  ASSERT_EQ(2, row.descriptors.configTableSize);
  std::memset(row.descriptors.configTable[1].descriptor, 0, USB_CONFIG_DESCRIPTOR_SIZE);
  unlockUsbDeviceRow(d.row);
  const UsbReply r = control(owner, d, 0x80, 6, 0x0201, 0, 1024, 1024);
  expectAnswer(r, kStatusOk, 0, configurationOf(node, 1));
  muxIn(d.row);
  const std::vector<uint8_t> kept(row.descriptors.configTable[1].descriptor,
                                  row.descriptors.configTable[1].descriptor + USB_CONFIG_DESCRIPTOR_SIZE);
  unlockUsbDeviceRow(d.row);
  EXPECT_EQ(std::vector<uint8_t>(r.data.begin(), r.data.begin() + 9), kept) << "the header is kept";
}

TEST_F(CtrlReqTest, OwnerWithTheHandleClosedIsRefused) {
  Device d;
  UsbTestClient& c = serve("1-3", "loopback", &d);
  UsbReply failed;
  const std::vector<uint8_t> body = {static_cast<uint8_t>(d.row), static_cast<uint8_t>(d.port), 9, 0};
  ASSERT_TRUE(c.request(failed, USB_OP_SET_CONFIGURATION, 0x21, body));
  ASSERT_EQ(kFailed, failed.header.status);
  // The failed configuration has the owner's task close the device.
  ASSERT_TRUE(waitFor(
      [&] {
        muxIn(d.row);
        const bool closed = usbDeviceTable[d.row].usbfsHandle < 0;
        unlockUsbDeviceRow(d.row);
        return closed;
      },
      5000));
  expectAnswer(control(c, d, 0x80, 0, 0, 0, 2, 2), kRefused, 71);
  expectAnswer(control(c, d, 0x80, 6, 0x0100, 0, 18, 18), kStatusOk, 0, deviceDescriptor(d, 18));
}

// Lengths that do not fit: the body is read and dropped, FAILED/71, and the
// connection goes on.
TEST_F(CtrlReqTest, BodiesWithLengthsThatDoNotFitAreDropped) {
  Device d;
  UsbTestClient& c = serve("1-3", "loopback", &d);
  struct Case {
    const char* what;
    uint32_t inLength, outLength;
    std::vector<uint8_t> out;
  } cases[] = {
      {"no setup block", 0, 0, {}},
      {"setup block cut short", 0, 4, {0x80, 6, 1, 0}},
      {"data stage above 65535", 0, 8 + 65536, std::vector<uint8_t>(8 + 65536, 0)},
      {"IN length above 65535", 65536, 8, {0x80, 6, 1, 0, 0, 0, 0, 18}},
      {"wLength beyond the data sent", 0, 18, {0x40, 2, 0, 0, 0, 0, 0, 100, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10}},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    ASSERT_TRUE(submit(c, 0x99, transferBody(d.row, d.port, 0, kControl, k.inLength, k.outLength, k.out)));
    UsbReply r;
    ASSERT_TRUE(c.readReply(r));
    expectAnswer(r, kFailed, 71);
    expectAlive(c);
  }
  // The same for a client that does not own the device.
  UsbTestClient& other = client();
  ASSERT_TRUE(submit(other, 0x98, transferBody(d.row, d.port, 0, kControl, 0, 4, {1, 2, 3, 4})));
  UsbReply r;
  ASSERT_TRUE(other.readReply(r));
  expectAnswer(r, kFailed, 71);
  expectAlive(other);
}

TEST_F(CtrlReqTest, BodyThatCannotBeReadEndsTheConnection) {
  Device d;
  UsbTestClient& c = serve("1-3", "loopback", &d);
  // Too long to be worth reading.
  ASSERT_TRUE(submit(c, 0x97, transferBody(d.row, d.port, 0, kControl, 0, 0x7FFFFFF0)));
  UsbReply r;
  ASSERT_TRUE(c.readReply(r));
  expectAnswer(r, kFailed, 71);
  EXPECT_TRUE(c.closedByServer(5000));

  // Cut short: the client sends half and stops.
  UsbTestClient& late = client();
  std::vector<uint8_t> half = controlBody(d.row, d.port, 0x40, 2, 0, 0, 92, 0, std::vector<uint8_t>(92, 7));
  half.resize(half.size() - 50);
  ASSERT_TRUE(submit(late, 0x96, half));
  ::shutdown(late.socket().fd, SHUT_WR);
  ASSERT_TRUE(late.readReply(r));
  expectAnswer(r, kFailed, 12);
  EXPECT_TRUE(late.closedByServer(5000));
}

}  // namespace
