// DEVICE_LIST over the server: the records, the access-key answers in both
// formats, malformed payloads, payloads too long to hold answers, the
// legacy list, and the ports the list leaves out.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>

#include "platform/simusb/usbhost_sim.h"
#include "usbserver/devices/portpower.h"
#include "usbserver/devices/usbdevicetable.h"
#include "usbserver/discovery/usbscan.h"
#include "usbserver/support/access_server_fixture.h"

using usbclient::Client;
using usbclient::Device;
using usbclient::Message;
using usbclient::PortKey;

namespace {

bool contains(const std::vector<int>& rows, int row) { return std::find(rows.begin(), rows.end(), row) != rows.end(); }

}  // namespace

class DeviceListTest : public AccessServerFixture {};

TEST_F(DeviceListTest, UnkeyedListCarriesOneRecordPerPresentDevice) {
  auto c = client();
  std::vector<Device> devices;
  Message reply;
  ASSERT_TRUE(c->listDevices(devices, {}, false, &reply)) << c->lastError();
  EXPECT_EQ(0x101du, reply.opcode);
  EXPECT_EQ(3u + devices.size() * 22, reply.dataLength);
  EXPECT_EQ(devices.size() * 22, static_cast<size_t>(reply.data[1] << 8 | reply.data[2]));
  ASSERT_EQ(2u, devices.size());  // the hub sits on root port 1 and is never listed
  for (const Device& d : devices) {
    const UsbDeviceRow& row = usbDeviceTable[d.row];
    EXPECT_EQ(row.port, d.port);
    EXPECT_EQ(row.speed, d.speed);
    EXPECT_EQ(0, d.available);
    EXPECT_EQ(row.descriptors.idVendor(), d.idVendor());
    EXPECT_EQ(row.descriptors.idProduct(), d.idProduct());
    // bcdUSB and bcdDevice are turned to big-endian too; the rest as cached.
    EXPECT_EQ(row.descriptors.device[2], d.descriptor[3]);
    EXPECT_EQ(row.descriptors.device[3], d.descriptor[2]);
    EXPECT_EQ(row.descriptors.device[12], d.descriptor[13]);
    EXPECT_EQ(row.descriptors.device[13], d.descriptor[12]);
    EXPECT_EQ(0, std::memcmp(row.descriptors.device + 4, d.descriptor + 4, 4));
    EXPECT_EQ(0, std::memcmp(row.descriptors.device + 14, d.descriptor + 14, 4));
  }
  EXPECT_TRUE(contains(listedRows(*c), hidRow_));
  EXPECT_TRUE(contains(listedRows(*c), loopbackRow_));
}

TEST_F(DeviceListTest, LegacyListIsRefusedWithoutData) {
  auto c = client();
  Message reply;
  ASSERT_TRUE(c->sendRequest(usbclient::OP_DEVICE_LIST_LEGACY, 7, {}, 40));
  ASSERT_TRUE(c->readReply(reply));
  EXPECT_EQ(0x1002u, reply.opcode);
  EXPECT_EQ(usbclient::STATUS_FAILED, reply.status);
  EXPECT_EQ(3, reply.error);
  EXPECT_EQ(0u, reply.dataLength);
  EXPECT_TRUE(c->hello(8));  // the payload length was not a payload
}

struct KeyCase {
  const char* name;
  bool sha1;
  std::vector<PortKey> keys;
  bool keyedListed;
};

class DeviceListKeyTest : public DeviceListTest, public ::testing::WithParamInterface<KeyCase> {};

TEST_P(DeviceListKeyTest, KeyedPortIsListedOnlyForTheRightAnswer) {
  setParam("zov_accctrl_3", "key");
  setParam("zov_keyval_3", "Sesam-0ffne-dich");
  auto c = client(false, 0x5a17c3e9);
  const std::vector<int> rows = listedRows(*c, GetParam().keys, GetParam().sha1);
  EXPECT_TRUE(contains(rows, hidRow_));  // port 2 has no key
  EXPECT_EQ(GetParam().keyedListed, contains(rows, loopbackRow_));
}

INSTANTIATE_TEST_SUITE_P(
    Answers, DeviceListKeyTest,
    ::testing::Values(KeyCase{"NoPayload", false, {}, false},
                      KeyCase{"DesRight", false, {{3, "Sesam-0ffne-dich"}}, true},
                      KeyCase{"DesWrong", false, {{3, "sesam-0ffne-dich"}}, false},
                      // DES crypt uses only the first 8 characters of a key.
                      KeyCase{"DesSameFirstEight", false, {{3, "Sesam-0fXXXXXX"}}, true},
                      KeyCase{"DesOtherPortOnly", false, {{2, "Sesam-0ffne-dich"}}, false},
                      KeyCase{"Sha1Right", true, {{3, "Sesam-0ffne-dich"}}, true},
                      KeyCase{"Sha1Wrong", true, {{3, "Sesam-0ffne-dick"}}, false},
                      KeyCase{"Sha1SameFirstEight", true, {{3, "Sesam-0fXXXXXX"}}, false},
                      // The first record of the port decides.
                      KeyCase{"FirstRecordWrong", false, {{3, "wrong"}, {3, "Sesam-0ffne-dich"}}, false},
                      KeyCase{"FirstRecordRight", true, {{3, "Sesam-0ffne-dich"}, {3, "wrong"}}, true}),
    [](const ::testing::TestParamInfo<KeyCase>& info) { return std::string(info.param.name); });

TEST_F(DeviceListTest, MoreThanTwentyRecordsRefuseEveryKeyedPort) {
  setParam("zov_accctrl_3", "keyids");
  setParam("zov_keyval_3", "k3");
  setParam("zov_vendprodIDs_3", "any");  // the filter does not apply to the list
  auto c = client();
  std::vector<PortKey> keys(20, PortKey{7, "x"});
  keys[0] = {3, "k3"};
  EXPECT_TRUE(contains(listedRows(*c, keys), loopbackRow_));
  keys.push_back({7, "x"});
  const std::vector<int> rows = listedRows(*c, keys);
  EXPECT_FALSE(contains(rows, loopbackRow_));
  EXPECT_TRUE(contains(rows, hidRow_));
}

TEST_F(DeviceListTest, AnswersAreForTheLatestHello) {
  setParam("zov_accctrl_3", "key");
  setParam("zov_keyval_3", "k3");
  auto c = client(false, 1111);
  const std::vector<uint8_t> oldAnswers = usbclient::keyPayload({{3, "k3"}}, 1111, false);
  ASSERT_TRUE(c->hello(2222));
  Message reply;
  ASSERT_TRUE(c->sendRequest(usbclient::OP_DEVICE_LIST, 5, oldAnswers, static_cast<uint32_t>(oldAnswers.size())));
  ASSERT_TRUE(c->readReply(reply));
  EXPECT_EQ(1, reply.data[0]);  // only the unkeyed port
  EXPECT_TRUE(contains(listedRows(*c, {{3, "k3"}}), loopbackRow_));
}

struct BadPayload {
  const char* name;
  std::vector<uint8_t> bytes;
};

class DeviceListBadPayloadTest : public DeviceListTest, public ::testing::WithParamInterface<BadPayload> {};

TEST_P(DeviceListBadPayloadTest, MalformedPayloadEndsTheConnectionWithoutReply) {
  auto c = client();
  const std::vector<uint8_t>& bytes = GetParam().bytes;
  ASSERT_TRUE(c->sendRequest(usbclient::OP_DEVICE_LIST, 9, bytes, static_cast<uint32_t>(bytes.size())));
  EXPECT_TRUE(c->closedByPeer(5000));
}

std::vector<uint8_t> payloadOf(const char* magic, int count, size_t length) {
  std::vector<uint8_t> p(length, 0);
  std::memcpy(p.data(), magic, 3);
  p[3] = static_cast<uint8_t>(count);
  return p;
}

INSTANTIATE_TEST_SUITE_P(
    Payloads, DeviceListBadPayloadTest,
    ::testing::Values(BadPayload{"WrongMagic", payloadOf("ORX", 1, 16)}, BadPayload{"LowerCaseO", payloadOf("oRV", 1, 16)},
                      BadPayload{"DesLengthShort", payloadOf("ORV", 1, 15)},
                      BadPayload{"DesLengthLong", payloadOf("ORV", 1, 17)},
                      BadPayload{"Sha1WithDesLength", payloadOf("ORv", 1, 16)},
                      BadPayload{"Sha1LengthShort", payloadOf("ORv", 2, 47)},
                      BadPayload{"TooShortForMagic", {'O', 'R'}}),
    [](const ::testing::TestParamInfo<BadPayload>& info) { return std::string(info.param.name); });

TEST_F(DeviceListTest, ShortPayloadEndsTheConnection) {
  auto c = client();
  const std::vector<uint8_t> part = payloadOf("ORV", 1, 10);
  ASSERT_TRUE(c->sendRequest(usbclient::OP_DEVICE_LIST, 9, part, 16));
  ::shutdown(c->fd(), SHUT_WR);
  EXPECT_TRUE(c->closedByPeer(15000));
}

TEST_F(DeviceListTest, PayloadTooLongForAnswersIsConsumedAndListedWithoutThem) {
  setParam("zov_accctrl_3", "key");
  setParam("zov_keyval_3", "k3");
  auto c = client();
  // Well-formed answers, but padded beyond what a payload may hold.
  std::vector<uint8_t> payload = usbclient::keyPayload({{3, "k3"}}, c->challenge(), false);
  payload.resize(445, 0x11);
  Message reply;
  ASSERT_TRUE(c->sendRequest(usbclient::OP_DEVICE_LIST, 9, payload, static_cast<uint32_t>(payload.size())));
  ASSERT_TRUE(c->readReply(reply));
  EXPECT_EQ(usbclient::STATUS_OK, reply.status);
  ASSERT_GE(reply.data.size(), 3u);
  EXPECT_EQ(1, reply.data[0]);  // the unkeyed port only
  // The padding was not read as the next request: the connection goes on.
  EXPECT_TRUE(c->quietFor(200));
  EXPECT_TRUE(c->hello(77));
  EXPECT_TRUE(contains(listedRows(*c, {{3, "k3"}}), loopbackRow_));
}

TEST_F(DeviceListTest, PayloadTooLongThatNeverArrivesEndsTheConnection) {
  auto c = client();
  ASSERT_TRUE(c->sendRequest(usbclient::OP_DEVICE_LIST, 9, std::vector<uint8_t>(100, 0), 5000));
  ::shutdown(c->fd(), SHUT_WR);
  EXPECT_TRUE(c->closedByPeer(15000));
}

namespace {

int cardReaderState = 0;
bool queryCardReader(int* state) {
  *state = cardReaderState;
  return true;
}
const UsbBoardHooks kCardReaderBoard = {nullptr, queryCardReader, nullptr, nullptr, nullptr, nullptr};

}  // namespace

TEST_F(DeviceListTest, PortOneIsLeftOutWhileTheCardReaderIsAbsent) {
  plug("1-1.1", "loopback serial=P1");
  rescanUsbDevices();
  const int portOneRow = rowOf("1-1.1");
  ASSERT_GE(portOneRow, 0);
  ASSERT_EQ(1, usbDeviceTable[portOneRow].port);
  auto c = client();
  EXPECT_TRUE(contains(listedRows(*c), portOneRow));  // no board answers the query
  setUsbBoardHooks(&kCardReaderBoard);
  cardReaderState = 0;
  EXPECT_FALSE(contains(listedRows(*c), portOneRow));
  cardReaderState = 1;
  EXPECT_TRUE(contains(listedRows(*c), portOneRow));
  setUsbBoardHooks(nullptr);
}

TEST_F(DeviceListTest, PortOnAnotherVlanIsLeftOut) {
  auto c = client();
  // Connections accepted on the plain interface have no VLAN.
  setParam("zov_2vlan_3", "21");  // above usb_ports_phy: only connections without VLAN
  EXPECT_TRUE(contains(listedRows(*c), loopbackRow_));
  setParam("zov_2vlan_3", "1");
  setParam("ip4vlan_id_1", "5");
  EXPECT_FALSE(contains(listedRows(*c), loopbackRow_));
  EXPECT_TRUE(contains(listedRows(*c), hidRow_));
}
