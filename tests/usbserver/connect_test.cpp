// CONNECT over the server: taking a device, the takeover from another
// client, every refusal (and that a refused client leaves the owner alone),
// the access key a CONNECT must carry, and what the row shows afterwards.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <chrono>
#include <thread>

#include "params/store/paramstore.h"
#include "params/types/stringparam.h"
#include "platform/simusb/usbhost_sim.h"
#include "usbserver/devices/portpower.h"
#include "usbserver/devices/publishedparams.h"
#include "usbserver/devices/usbdevicetable.h"
#include "usbserver/discovery/usbscan.h"
#include "usbserver/support/access_server_fixture.h"

using usbclient::Client;
using usbclient::Message;

namespace {

constexpr int kInUse = static_cast<int>(UsbRowState::IN_USE);
constexpr int kPresent = static_cast<int>(UsbRowState::PRESENT);

std::string rowParam(const char* stem, int row) {
  StringParam* p = paramStore.findString((stem + std::to_string(row + 1)).c_str());
  return p ? p->getText() : "(missing)";
}

// The owner text once it has become want (the row changes hands just
// after the reply), else its last value.
std::string ownerText(int row, const std::string& want) {
  std::string text;
  for (int i = 0; i < 500; ++i) {
    text = rowParam("usb_owner_", row);
    if (text == want) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return text;
}

}  // namespace

class ConnectTest : public AccessServerFixture {
 protected:
  // CONNECT of the loopback device; the reply.
  Message connectLoopback(Client& c, const std::string& name = "client") {
    Message reply;
    EXPECT_TRUE(c.connect(loopbackRow_, 3, name, reply)) << c.lastError();
    return reply;
  }
  // An echo through the loopback device: OUT then IN.
  bool echoes(Client& c, const std::vector<uint8_t>& data) {
    std::vector<Message> out, in;
    if (!c.transfer(loopbackRow_, 3, 0x01, 3, data, 0, out) || out.back().status != usbclient::STATUS_OK) return false;
    if (!c.transfer(loopbackRow_, 3, 0x81, 3, {}, static_cast<uint32_t>(data.size()), in)) return false;
    return in.back().status == usbclient::STATUS_OK && Client::joinData(in) == data;
  }
  // The client holds the loopback device and nothing else happened to it.
  void expectStillOwner(Client& owner) {
    EXPECT_TRUE(owner.quietFor(300)) << "the owner was told something";
    EXPECT_TRUE(owner.notices().empty());
    EXPECT_TRUE(echoes(owner, {1, 2, 3, 4}));
    EXPECT_EQ(kInUse, static_cast<int>(usbDeviceTable[loopbackRow_].rowState()));
  }
};

TEST_F(ConnectTest, ConnectTakesTheDeviceAndPublishesTheOwner) {
  auto c = client();
  const Message reply = connectLoopback(*c, "bench-7");
  EXPECT_EQ(0x1019u, reply.opcode);
  EXPECT_EQ(usbclient::STATUS_OK, reply.status);
  EXPECT_TRUE(waitForRowState(loopbackRow_, kInUse));
  EXPECT_EQ("bench-7 (127.000.000.001)", ownerText(loopbackRow_, "bench-7 (127.000.000.001)"));
  EXPECT_TRUE(echoes(*c, {'p', 'i', 'n', 'g'}));

  auto nameless = client();
  Message r;
  ASSERT_TRUE(nameless->connect(hidRow_, 2, "", r));
  EXPECT_EQ(usbclient::STATUS_OK, r.status);
  EXPECT_EQ("127.000.000.001", ownerText(hidRow_, "127.000.000.001"));

  // The end of the connection gives the devices back.
  c->close();
  nameless->close();
  EXPECT_TRUE(waitForRowState(loopbackRow_, kPresent));
  EXPECT_TRUE(waitForRowState(hidRow_, kPresent));
  EXPECT_EQ("Available", ownerText(loopbackRow_, "Available"));
}

TEST_F(ConnectTest, SecondClientThatPassesTakesTheDeviceOver) {
  auto first = client();
  ASSERT_EQ(usbclient::STATUS_OK, connectLoopback(*first, "first").status);
  auto second = client(true);
  const Message reply = connectLoopback(*second, "second");
  EXPECT_EQ(usbclient::STATUS_OK, reply.status);

  Message gone;
  ASSERT_TRUE(first->readMessage(gone)) << first->lastError();
  EXPECT_TRUE(gone.notice);
  EXPECT_EQ(usbclient::OP_DEVICE_GONE, gone.opcode);
  EXPECT_EQ(1u, gone.context);
  EXPECT_EQ(0u, gone.tag);
  ASSERT_EQ(2u, gone.data.size());
  EXPECT_EQ(loopbackRow_, gone.data[0]);
  EXPECT_EQ(3, gone.data[1]);

  EXPECT_TRUE(waitForRowState(loopbackRow_, kInUse));
  EXPECT_EQ("second (127.000.000.001)", ownerText(loopbackRow_, "second (127.000.000.001)"));
  EXPECT_TRUE(echoes(*second, {9, 8, 7}));
  // The first client's transfers are refused now.
  std::vector<Message> refused;
  ASSERT_TRUE(first->transfer(loopbackRow_, 3, 0x01, 3, {1}, 0, refused));
  EXPECT_EQ(usbclient::STATUS_REFUSED, refused.back().status);
  EXPECT_EQ(12, refused.back().error);
}

TEST_F(ConnectTest, SecondConnectByTheOwnerKeepsTheDevice) {
  auto c = client();
  ASSERT_EQ(usbclient::STATUS_OK, connectLoopback(*c).status);
  EXPECT_TRUE(echoes(*c, {1}));
  ASSERT_EQ(usbclient::STATUS_OK, connectLoopback(*c).status);
  EXPECT_TRUE(c->notices().empty());
  EXPECT_TRUE(echoes(*c, {2, 3}));
  EXPECT_EQ(1, host().openHandleCount());  // the first handle was given back
  EXPECT_EQ(1, usbPortUseCounters[2].load() % 100);  // still one connection counted
}

struct Refusal {
  const char* name;
  std::vector<std::pair<std::string, std::string>> params;
  bool tls;
  uint32_t status;
  int32_t error;
};

class ConnectRefusalTest : public ConnectTest, public ::testing::WithParamInterface<Refusal> {};

TEST_P(ConnectRefusalTest, RefusedClientLeavesTheOwnerAlone) {
  auto owner = client(true);
  ASSERT_EQ(usbclient::STATUS_OK, connectLoopback(*owner, "owner").status);
  for (const auto& [key, value] : GetParam().params) setParam(key, value);
  auto other = client(GetParam().tls);
  const Message reply = connectLoopback(*other, "other");
  EXPECT_EQ(GetParam().status, reply.status);
  EXPECT_EQ(GetParam().error, reply.error);
  expectStillOwner(*owner);
  EXPECT_EQ("owner (127.000.000.001)", ownerText(loopbackRow_, "owner (127.000.000.001)"));
}

INSTANTIATE_TEST_SUITE_P(
    Checks, ConnectRefusalTest,
    ::testing::Values(
        Refusal{"PlainOnTlsPort", {{"zov_sec_3", "on"}}, false, usbclient::STATUS_REFUSED, 13},
        Refusal{"DeviceFilter", {{"zov_accctrl_3", "ids"}, {"zov_vendprodIDs_3", "0781:5567"}}, true,
                usbclient::STATUS_REFUSED, 14},
        Refusal{"KeyWithoutList", {{"zov_accctrl_3", "key"}, {"zov_keyval_3", "k3"}}, true,
                usbclient::STATUS_REFUSED, 14},
        Refusal{"OtherVlan", {{"zov_2vlan_3", "1"}, {"ip4vlan_id_1", "5"}}, true, usbclient::STATUS_REFUSED, 14}),
    [](const ::testing::TestParamInfo<Refusal>& info) { return std::string(info.param.name); });

TEST_F(ConnectTest, TlsOnlyPortTakesTlsClients) {
  setParam("zov_sec_3", "on");
  auto plain = client(false);
  EXPECT_EQ(13, connectLoopback(*plain).error);
  auto secure = client(true);
  EXPECT_EQ(usbclient::STATUS_OK, connectLoopback(*secure).status);
  EXPECT_TRUE(echoes(*secure, {5, 5}));
}

TEST_F(ConnectTest, DeviceFilterAllowsListedDevices) {
  const UsbDeviceRow& r = usbDeviceTable[loopbackRow_];
  char id[16];
  std::snprintf(id, sizeof id, "%04x:%04x", r.idVendor & 0xffff, r.idProduct & 0xffff);
  setParam("zov_accctrl_3", "ids");
  setParam("zov_vendprodIDs_3", std::string("0781:5567,") + id);
  auto c = client();
  EXPECT_EQ(usbclient::STATUS_OK, connectLoopback(*c).status);
}

TEST_F(ConnectTest, KeyedPortNeedsTheRightAnswersOfAnEarlierList) {
  setParam("zov_accctrl_3", "key");
  setParam("zov_keyval_3", "let-me-in");
  auto c = client(false, 0x0badcafe);
  EXPECT_EQ(14, connectLoopback(*c).error);  // no list at all
  std::vector<usbclient::Device> devices;
  ASSERT_TRUE(c->listDevices(devices, {{3, "let-me-out"}}, true));
  EXPECT_EQ(14, connectLoopback(*c).error);  // wrong answer
  ASSERT_TRUE(c->listDevices(devices, {{3, "let-me-in"}}, true));
  EXPECT_EQ(usbclient::STATUS_OK, connectLoopback(*c).status);
  EXPECT_TRUE(echoes(*c, {4, 2}));
  // An unkeyed port needs no list.
  auto other = client();
  Message r;
  ASSERT_TRUE(other->connect(hidRow_, 2, "x", r));
  EXPECT_EQ(usbclient::STATUS_OK, r.status);
}

TEST_F(ConnectTest, KeyChangedAfterTheListRefusesTheConnect) {
  setParam("zov_accctrl_3", "keyids");
  setParam("zov_keyval_3", "old-key");
  const UsbDeviceRow& r = usbDeviceTable[loopbackRow_];
  char id[16];
  std::snprintf(id, sizeof id, "%04x:%04x", r.idVendor & 0xffff, r.idProduct & 0xffff);
  setParam("zov_vendprodIDs_3", id);
  auto c = client();
  std::vector<usbclient::Device> devices;
  ASSERT_TRUE(c->listDevices(devices, {{3, "old-key"}}));
  ASSERT_EQ(2u, devices.size());
  setParam("zov_keyval_3", "new-key");
  EXPECT_EQ(14, connectLoopback(*c).error);
}

TEST_F(ConnectTest, AnswersOfOneConnectionDoNotOpenThePortForAnother) {
  setParam("zov_accctrl_3", "key");
  setParam("zov_keyval_3", "mine");
  auto a = client(false, 5);
  auto b = client(false, 5);
  std::vector<usbclient::Device> devices;
  ASSERT_TRUE(a->listDevices(devices, {{3, "mine"}}));
  EXPECT_EQ(14, connectLoopback(*b).error);
  EXPECT_EQ(usbclient::STATUS_OK, connectLoopback(*a).status);
}

namespace {

int readerState = 0;
bool queryReader(int* state) {
  *state = readerState;
  return true;
}
const UsbBoardHooks kReaderBoard = {nullptr, queryReader, nullptr, nullptr, nullptr, nullptr};

}  // namespace

TEST_F(ConnectTest, CardReaderPortIsRefusedWhileUnavailable) {
  plug("1-1.1", "loopback serial=P1");
  rescanUsbDevices();
  const int row = rowOf("1-1.1");
  ASSERT_GE(row, 0);
  setUsbBoardHooks(&kReaderBoard);
  readerState = 0;
  auto c = client();
  Message reply;
  ASSERT_TRUE(c->connect(row, 1, "x", reply));
  EXPECT_EQ(usbclient::STATUS_REFUSED, reply.status);
  EXPECT_EQ(14, reply.error);
  readerState = 1;
  ASSERT_TRUE(c->connect(row, 1, "x", reply));
  EXPECT_EQ(usbclient::STATUS_OK, reply.status);
  setUsbBoardHooks(nullptr);
}

TEST_F(ConnectTest, WrongPortOrMissingRowFailsWithoutTouchingTheOwner) {
  auto owner = client();
  ASSERT_EQ(usbclient::STATUS_OK, connectLoopback(*owner).status);
  // An IN transfer waits in flight for data.
  const uint32_t tag = owner->nextTag();
  std::vector<uint8_t> body = {static_cast<uint8_t>(loopbackRow_), 3, 0x81, 3, 0, 0, 0, 4, 0, 0, 0, 0};
  ASSERT_TRUE(owner->sendRequest(usbclient::OP_SUBMIT_URB, tag, body));
  EXPECT_TRUE(owner->quietFor(200));

  auto other = client();
  Message reply;
  ASSERT_TRUE(other->connect(loopbackRow_, 4, "x", reply));  // the row is on port 3
  EXPECT_EQ(usbclient::STATUS_FAILED, reply.status);
  EXPECT_EQ(19, reply.error);
  ASSERT_TRUE(other->connect(USB_MAXDEVS - 1, 3, "x", reply));
  EXPECT_EQ(19, reply.error);
  ASSERT_TRUE(other->connect(255, 3, "x", reply));
  EXPECT_EQ(19, reply.error);

  // The waiting transfer is still the owner's and completes with the data.
  std::vector<Message> out;
  ASSERT_TRUE(owner->transfer(loopbackRow_, 3, 0x01, 3, {6, 7, 8, 9}, 0, out));
  bool completed = false;
  for (int i = 0; i < 4 && !completed; ++i) {
    Message m;
    ASSERT_TRUE(owner->readReply(m));
    if (m.tag != tag) continue;
    completed = true;
    EXPECT_EQ(usbclient::STATUS_OK, m.status);
    EXPECT_EQ((std::vector<uint8_t>{6, 7, 8, 9}), m.data);
  }
  EXPECT_TRUE(completed);
}

TEST_F(ConnectTest, ShortBodyFailsAndEndsTheConnection) {
  auto c = client();
  ASSERT_TRUE(c->sendRequest(usbclient::OP_CONNECT, 3, {static_cast<uint8_t>(loopbackRow_), 3, 'a'}));
  ::shutdown(c->fd(), SHUT_WR);
  Message reply;
  ASSERT_TRUE(c->readReply(reply));
  EXPECT_EQ(usbclient::STATUS_FAILED, reply.status);
  EXPECT_EQ(19, reply.error);
  EXPECT_TRUE(c->closedByPeer(15000));
  EXPECT_EQ(kPresent, static_cast<int>(usbDeviceTable[loopbackRow_].rowState()));
}

TEST_F(ConnectTest, PreResetConnectsAfterTheDeviceCameBack) {
  setParam("zov_prereset_3", "on");
  auto c = client();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(usbclient::STATUS_OK, connectLoopback(*c).status);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
  EXPECT_TRUE(echoes(*c, {1, 1, 2, 3, 5}));
}
