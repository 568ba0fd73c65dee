// Clients that are slow, split their requests, or send what a well-behaved
// client would not: the server keeps serving them correctly, and nothing
// they do reaches other clients or the device table's texts.
#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <time.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "params/store/paramstore.h"
#include "params/types/stringparam.h"
#include "platform/usb/usbhost.h"
#include "runtime/task/task.h"
#include "runtime/task/uptime.h"
#include "runtime/tls/tlsconnection.h"
#include "usbserver/connections/usbconnection.h"
#include "usbserver/connections/usblistener.h"
#include "usbserver/devices/usbdevicetable.h"
#include "usbserver/protocol/wireprotocol.h"
#include "usbserver/support/urb_test_support.h"
#include "usbserver/transfers/urbengine.h"
#include "usbserver/transfers/urbrequest.h"

namespace {

void pauseMs(int ms) {
  const timespec t{ms / 1000, (ms % 1000) * 1000000L};
  nanosleep(&t, nullptr);
}

std::vector<uint8_t> requestBytes(uint32_t opcode, uint32_t tag, const std::vector<uint8_t>& body) {
  UsbRequestHeader h;
  h.opcode = opcode;
  h.tag = tag;
  std::vector<uint8_t> bytes(USB_REQUEST_HEADER_SIZE);
  encodeRequestHeader(h, bytes.data());
  bytes.insert(bytes.end(), body.begin(), body.end());
  return bytes;
}

using HostileClientTest = UrbServerFixture;

// A request whose bytes arrive in two pieces (TCP segments, TLS records),
// cut inside the header or inside the body, is served whole.
TEST_F(HostileClientTest, RequestSplitAcrossSegmentsIsServed) {
  startServer();
  const struct {
    bool tls;
    size_t cut;
  } cases[] = {{false, 1}, {false, 7}, {false, 15}, {false, 18}, {true, 1}, {true, 9}, {true, 18}};
  uint32_t tag = 0x700;
  for (const auto& k : cases) {
    SCOPED_TRACE(std::string(k.tls ? "TLS" : "plain") + " cut at " + std::to_string(k.cut));
    UsbTestClient& c = client(k.tls);
    ++tag;
    const std::vector<uint8_t> bytes = requestBytes(USB_OP_KEEP_ALIVE, tag, be32(tag * 3));
    ASSERT_TRUE(c.sendRaw(bytes.data(), k.cut));
    pauseMs(150);
    ASSERT_TRUE(c.sendRaw(bytes.data() + k.cut, bytes.size() - k.cut));
    UsbReply r;
    ASSERT_TRUE(c.readReply(r, 3000));
    EXPECT_EQ(tag, r.header.tag);
    EXPECT_EQ(be32(tag * 3), r.data);
  }
}

// A header the client cuts short (it closes its side) ends the connection.
TEST_F(HostileClientTest, HeaderCutShortByTheClientClosesTheConnection) {
  startServer();
  for (bool tls : {false, true}) {
    UsbTestClient& c = client(tls);
    const uint8_t part[10] = {0, 0, 0, 0, 0, 0, 0, 27, 0, 0};
    ASSERT_TRUE(c.sendRaw(part, sizeof part));
    ::shutdown(c.socket().fd, SHUT_WR);
    EXPECT_TRUE(c.closedByServer(3000)) << (tls ? "TLS" : "plain");
  }
}

// A parameter change is broadcast to every task; a connection in the middle
// of reading a request goes on reading it.
TEST_F(HostileClientTest, ParameterBroadcastDuringARequestKeepsTheConnection) {
  startServer();
  UsbTestClient& c = client();
  const std::vector<uint8_t> bytes = requestBytes(USB_OP_KEEP_ALIVE, 0x4a, be32(0x01020304));
  ASSERT_TRUE(c.sendRaw(bytes.data(), USB_REQUEST_HEADER_SIZE + 2));
  pauseMs(100);
  broadcastToTasks(TaskMessage{0, MSG_PARAMS_CHANGED, 0, 0});
  pauseMs(100);
  ASSERT_TRUE(c.sendRaw(bytes.data() + USB_REQUEST_HEADER_SIZE + 2, 2));
  UsbReply r;
  ASSERT_TRUE(c.readReply(r, 3000));
  EXPECT_EQ(0x4au, r.header.tag);
  EXPECT_EQ(be32(0x01020304), r.data);
}

// The client name of CONNECT is shown by the web pages and kept in the
// parameter file: control bytes never get there.
TEST_F(HostileClientTest, ClientNameControlBytesAreReplaced) {
  const Device d = plugDevice("1-3", "loopback");
  startServer();
  UsbTestClient& c = client();
  const std::string name = std::string("ev\r\nil\tname\x01\x7f", 13);
  const UsbReply r = connectDevice(c, d.row, d.port, name);
  ASSERT_EQ(USB_STATUS_OK, r.header.status);
  StringParam* owner = paramStore.findString(("usb_owner_" + std::to_string(d.row + 1)).c_str());
  ASSERT_NE(nullptr, owner);
  std::string text;
  ASSERT_TRUE(waitFor(
      [&] {
        text = owner->getText();
        return text.find("ev") != std::string::npos;
      },
      3000))
      << text;
  for (char ch : text) EXPECT_TRUE(static_cast<unsigned char>(ch) >= 0x20 && ch != 0x7f) << text;
  EXPECT_NE(std::string::npos, text.find("il")) << text;
}

// A connection task told to quit (shutdown) gives its device back before it
// goes: no row keeps pointing at the deleted connection.
TEST_F(HostileClientTest, QuitConnectionTaskReleasesItsDevice) {
  const Device d = plugDevice("1-3", "loopback");
  startServer();
  UsbTestClient& owner = client();
  ASSERT_EQ(USB_STATUS_OK, connectDevice(owner, d.row, d.port).header.status);
  UsbDeviceRow& row = usbDeviceTable[d.row];
  int32_t ownerTaskId = -1;
  {
    RowMutex hold(d.row);
    ASSERT_NE(nullptr, row.owner);
    ownerTaskId = row.owner->ownerTask->id;
  }
  ASSERT_EQ(0, postToTaskId(ownerTaskId, TaskMessage{0, MSG_QUIT, 0, 0}));
  EXPECT_TRUE(waitFor([&] { return row.rowState() == UsbRowState::PRESENT; }, 5000));
  {
    RowMutex hold(d.row);
    EXPECT_EQ(nullptr, row.owner);
  }
  // Another client reads the row and takes the device as usual.
  UsbTestClient& other = client();
  UsbReply r;
  ASSERT_TRUE(other.request(r, USB_OP_PORT_STATUS, 4, {static_cast<uint8_t>(d.row), static_cast<uint8_t>(d.port)}));
  EXPECT_EQ(USB_STATUS_OK, connectDevice(other, d.row, d.port).header.status);
}

// A client that reconnects at once after closing, with the other places of
// the connection limit held, is served: the place of its closed connection
// is free again once the server has seen the close.
TEST_F(HostileClientTest, ReconnectAtTheConnectionLimitIsServed) {
  startServer();
  std::vector<std::unique_ptr<UsbTestClient>> held;
  for (int i = 0; i < USB_MAX_CONNECTIONS; ++i) {
    held.push_back(std::make_unique<UsbTestClient>());
    ASSERT_TRUE(held.back()->connect(plainPort_, false)) << i;
  }
  ASSERT_TRUE(waitConnections(USB_MAX_CONNECTIONS));
  for (int round = 0; round < 50; ++round) {
    SCOPED_TRACE(round);
    UsbTestClient c;
    ASSERT_TRUE(c.connect(plainPort_, false));
    UsbReply r;
    ASSERT_TRUE(c.request(r, USB_OP_HELLO, static_cast<uint32_t>(round), {}, 0, 0)) << "refused";
  }
  for (auto& c : held) c->close();
  EXPECT_TRUE(waitConnections(0, 10000));
}

// Clients that connect to the TLS port and never shake hands hold only
// their own connection: plain and TLS clients are accepted and served
// meanwhile, and the silent ones count against the connection limit.
TEST_F(HostileClientTest, SilentClientsOnTheTlsPortDelayNobody) {
  startServer();
  std::vector<std::unique_ptr<UsbTestClient>> silent;
  for (int i = 0; i < 3; ++i) {
    silent.push_back(std::make_unique<UsbTestClient>());
    ASSERT_TRUE(silent.back()->connect(tlsPort_, false)) << i;  // TCP only, no handshake
  }
  EXPECT_TRUE(waitConnections(3));
  UsbReply r;
  UsbTestClient& plain = client();
  ASSERT_TRUE(plain.send(USB_OP_HELLO, 0x11));
  // The handshake time-out is 20 s; a listener stuck in it would not
  // answer within half of it.
  ASSERT_TRUE(plain.readReply(r, 10000));
  EXPECT_EQ(0x11u, r.header.tag);
  UsbTestClient& tls = client(true);
  ASSERT_NE(nullptr, tls.socket().session);
  ASSERT_TRUE(tls.request(r, USB_OP_HELLO, 0x12, {}, 0, 0));
  EXPECT_EQ(0x12u, r.header.tag);
  for (auto& c : silent) c->close();
}

// A bulk-only storage command block: READ(10) of 128 blocks from block 0.
std::vector<uint8_t> readCommand(uint32_t tag) {
  std::vector<uint8_t> cbw(31, 0);
  const uint32_t words[3] = {0x43425355, tag, 128 * 512};
  for (int w = 0; w < 3; ++w)
    for (int i = 0; i < 4; ++i) cbw[w * 4 + i] = static_cast<uint8_t>(words[w] >> (8 * i));
  cbw[12] = 0x80;
  cbw[14] = 10;
  const uint8_t read10[10] = {0x28, 0, 0, 0, 0, 0, 0, 0, 128, 0};
  std::copy(read10, read10 + 10, cbw.begin() + 15);
  return cbw;
}

// A client that stops reading keeps its task in a write, but a takeover
// gets the device at once, and nothing of the old owner reaches it.
TEST_F(HostileClientTest, TakeoverFromAnOwnerThatStoppedReading) {
  Device d;
  UsbTestClient& stuck = serve("1-3", "storage size=4M", &d);
  // About 13 MiB of answers the client never reads; it sends little.
  for (uint32_t i = 0; i < 200; ++i) {
    ASSERT_TRUE(submit(stuck, 0x1000 + i, transferBody(d.row, d.port, 0x02, kBulk, 0, 31, readCommand(i))));
    ASSERT_TRUE(submit(stuck, 0x2000 + i, transferBody(d.row, d.port, 0x81, kBulk, 128 * 512, 0)));
    ASSERT_TRUE(submit(stuck, 0x3000 + i, transferBody(d.row, d.port, 0x81, kBulk, 13, 0)));
  }
  pauseMs(300);
  UsbTestClient& next = client();
  attach(next, d);
  // The device is wherever the old owner's commands left it (its answers
  // queued in the device, a command half done): a host taking it over
  // resets it first, as after any lost command.
  UsbReply reset;
  const std::vector<uint8_t> rowAndPort = {static_cast<uint8_t>(d.row), static_cast<uint8_t>(d.port)};
  ASSERT_TRUE(next.request(reset, USB_OP_RESET_DEVICE, 0x76, rowAndPort));
  ASSERT_EQ(USB_STATUS_OK, reset.header.status) << reset.header.error;
  const std::vector<UsbReply> command = transfer(next, d, 0x02, kBulk, 0, readCommand(0x77));
  ASSERT_FALSE(command.empty());
  EXPECT_EQ(USB_STATUS_OK, command.back().header.status) << command.back().header.error;
  const std::vector<UsbReply> data = transfer(next, d, 0x81, kBulk, 128 * 512);
  ASSERT_FALSE(data.empty());
  EXPECT_EQ(USB_STATUS_OK, data.back().header.status) << data.back().header.error;
  EXPECT_EQ(size_t{128 * 512}, joinedData(data).size());
}

// The task of a client that stops reading waits for room with a poll that
// serves its messages: told to quit, it ends and gives its device back.
TEST_F(HostileClientTest, OwnerStuckInAWriteEndsWhenToldToQuit) {
  Device d;
  UsbTestClient& stuck = serve("1-3", "storage size=4M", &d);
  for (uint32_t i = 0; i < 200; ++i) {
    ASSERT_TRUE(submit(stuck, 0x1000 + i, transferBody(d.row, d.port, 0x02, kBulk, 0, 31, readCommand(i))));
    ASSERT_TRUE(submit(stuck, 0x2000 + i, transferBody(d.row, d.port, 0x81, kBulk, 128 * 512, 0)));
    ASSERT_TRUE(submit(stuck, 0x3000 + i, transferBody(d.row, d.port, 0x81, kBulk, 13, 0)));
  }
  pauseMs(300);
  int32_t taskId = -1;
  {
    RowMutex hold(d.row);
    ASSERT_NE(nullptr, usbDeviceTable[d.row].owner);
    taskId = usbDeviceTable[d.row].owner->ownerTask->id;
  }
  ASSERT_EQ(0, postToTaskId(taskId, TaskMessage{0, MSG_QUIT, 0, 0}));
  EXPECT_TRUE(waitFor([&] { return usbDeviceTable[d.row].rowState() == UsbRowState::PRESENT; }, 5000));
}

// A request's bytes must all arrive within one deadline: a client that
// sends a byte now and then does not restart it with each byte.
TEST_F(HostileClientTest, TricklingClientIsDroppedAtTheRequestDeadline) {
  startServer();
  UsbTestClient& c = client();
  const std::vector<uint8_t> bytes = requestBytes(USB_OP_KEEP_ALIVE, 0x5a, be32(0x0a0b0c0d));
  size_t sent = USB_REQUEST_HEADER_SIZE + 1;
  ASSERT_TRUE(c.sendRaw(bytes.data(), sent));
  for (int i = 0; i < 2; ++i) {
    pauseMs(100);
    shiftUptimeForTesting(USB_IO_TIMEOUT_MS / 10 * 6 / 10);  // 0.6 of the limit each time
    ASSERT_TRUE(c.sendRaw(bytes.data() + sent, 1));
    ++sent;
  }
  EXPECT_TRUE(c.closedByServer(3000));
}

// Bulk IN transfers queued behind one in flight cost memory until they
// run: one connection may queue only so much, in length and in number;
// beyond that a transfer is answered FAILED/12 at once.
TEST_F(HostileClientTest, QueuedBulkInIsBounded) {
  const struct {
    const char* what;
    uint32_t length;   // of each queued transfer
    int accepted;      // queued before the limit
  } cases[] = {
      {"by length", URB_MAX_BULK_IN_LENGTH, static_cast<int>(URB_MAX_QUEUED_IN_BYTES / URB_MAX_BULK_IN_LENGTH)},
      {"by number", 28, URB_MAX_QUEUED_IN_TRANSFERS},
  };
  const Device d = plugDevice("1-3", "loopback");
  startServer();
  const int32_t before = urbCount.load();
  for (const auto& k : cases) {
    SCOPED_TRACE(k.what);
    UsbTestClient& c = client();
    attach(c, d);
    // The loopback device holds nothing: this one stays in flight.
    ASSERT_TRUE(submit(c, 0x100, transferBody(d.row, d.port, 0x81, kBulk, 512, 0)));
    for (int i = 0; i < k.accepted; ++i)
      ASSERT_TRUE(submit(c, 0x1000 + i, transferBody(d.row, d.port, 0x81, kBulk, k.length, 0)));
    ASSERT_TRUE(submit(c, 0x99999, transferBody(d.row, d.port, 0x81, kBulk, k.length, 0)));
    UsbReply r;
    ASSERT_TRUE(c.readReply(r, 5000));
    EXPECT_EQ(0x99999u, r.header.tag);
    EXPECT_EQ(USB_STATUS_FAILED, r.header.status);
    EXPECT_EQ(USB_ERR_NOMEM, r.header.error);
    EXPECT_LE(urbCount.load(), before + k.accepted + 1);
    c.close();
    EXPECT_TRUE(waitFor([&] { return urbCount.load() == before; }, 5000));
  }
}

// A bulk IN whose next chunk usbfs refuses (its memory limit) ends with
// the chunk already read and a final FAILED carrying the refusal's errno;
// the endpoint goes on serving transfers.
TEST_F(HostileClientTest, RefusedLaterChunkEndsTheTransferWithItsError) {
  Device d;
  UsbTestClient& c = serve("1-3", "loopback", &d);
  const std::vector<uint8_t> data = patternBytes(65536 + 1000, 3);
  ASSERT_EQ(USB_STATUS_OK, transfer(c, d, 0x01, kBulk, 0, data).back().header.status);
  fault("1-3", "nomem 0x81 1");  // the first chunk goes, the second is refused
  const std::vector<UsbReply> in = transfer(c, d, 0x81, kBulk, 2 * 65536);
  ASSERT_EQ(2u, in.size());
  EXPECT_EQ(USB_STATUS_OK, in[0].header.status);
  EXPECT_EQ(std::vector<uint8_t>(data.begin(), data.begin() + 65536), in[0].data);
  EXPECT_EQ(USB_STATUS_FAILED, in[1].header.status);
  EXPECT_EQ(-12, in[1].header.error);
  // Not left busy: the next transfer on the endpoint runs.
  const std::vector<UsbReply> rest = transfer(c, d, 0x81, kBulk, 1000);
  EXPECT_EQ(USB_STATUS_OK, rest.back().header.status);
  EXPECT_EQ(std::vector<uint8_t>(data.begin() + 65536, data.end()), joinedData(rest));
}

// A transfer queued behind another that cannot start when its turn comes
// is answered with the error, and the ones behind it still run.
TEST_F(HostileClientTest, QueuedTransferThatCannotStartIsAnswered) {
  Device d;
  UsbTestClient& c = serve("1-3", "loopback", &d);
  ASSERT_TRUE(submit(c, 0x51, transferBody(d.row, d.port, 0x81, kBulk, 64, 0)));  // in flight
  ASSERT_TRUE(submit(c, 0x52, transferBody(d.row, d.port, 0x81, kBulk, 64, 0)));  // queued
  ASSERT_TRUE(submit(c, 0x53, transferBody(d.row, d.port, 0x81, kBulk, 64, 0)));  // queued
  pauseMs(100);
  fault("1-3", "nomem 0x81");  // the next submission: 0x52's start
  const std::vector<uint8_t> first = patternBytes(10, 1), second = patternBytes(20, 2);
  ASSERT_TRUE(submit(c, 0x61, transferBody(d.row, d.port, 0x01, kBulk, 0, 10, first)));
  ASSERT_TRUE(submit(c, 0x62, transferBody(d.row, d.port, 0x01, kBulk, 0, 20, second)));
  std::map<uint32_t, UsbReply> finals;
  for (int i = 0; i < 5; ++i) {
    UsbReply r;
    ASSERT_TRUE(c.readReply(r, 5000)) << i;
    finals[r.header.tag] = r;
  }
  EXPECT_EQ(first, finals[0x51].data);
  EXPECT_EQ(USB_STATUS_FAILED, finals[0x52].header.status);
  EXPECT_EQ(-12, finals[0x52].header.error);
  EXPECT_EQ(USB_STATUS_OK, finals[0x53].header.status);
  EXPECT_EQ(second, finals[0x53].data);
}

// After a takeover the new owner's SET_CONFIGURATION of the same value
// claims the interfaces for it: another handle finds them busy.
TEST_F(HostileClientTest, SameConfigurationAfterATakeoverClaimsTheInterfaces) {
  Device d;
  serve("1-3", "loopback", &d);
  UsbTestClient& second = client();
  attach(second, d);  // takes the device over, configuration 1 again
  int bus = 0, dev = 0;
  ASSERT_TRUE(host().deviceNumbers("1-3", &bus, &dev));
  const int other = host().openDevice(bus, dev, O_RDWR);
  ASSERT_GE(other, 0);
  EXPECT_EQ(-EBUSY, host().claimInterface(other, 0)) << "interface 0 is the new owner's";
  host().closeDevice(other);
}

// Another client's request that cannot open the device takes it from its
// owner the normal way: DEVICE_GONE, then the row is marked removed with
// no owner left in it.
TEST_F(HostileClientTest, FailedOpenByAnotherClientRevokesTheOwnerFirst) {
  Device d;
  UsbTestClient& owner = serve("1-3", "loopback", &d);
  int bus = 0, dev = 0;
  ASSERT_TRUE(host().deviceNumbers("1-3", &bus, &dev));
  ASSERT_EQ(0, ::unlink(UsbHost::deviceNodePath(bus, dev).c_str()));  // opens fail from now on
  UsbTestClient& other = client();
  control(other, d, 0x80, 6, 0x0337, 0x0409, 255, 255);  // a string nobody asked for yet
  UsbReply notice;
  bool isNotice = false;
  ASSERT_TRUE(readMessage(owner, notice, &isNotice));
  EXPECT_TRUE(isNotice);
  EXPECT_EQ(static_cast<uint32_t>(USB_OP_DEVICE_GONE), notice.header.opcode);
  RowMutex hold(d.row);
  EXPECT_EQ(nullptr, usbDeviceTable[d.row].owner);
  EXPECT_NE(UsbRowState::IN_USE, usbDeviceTable[d.row].rowState());
}

// A CONNECT whose second open (after the pre-reset pause) fails leaves
// alone the handle another request opened on the row during the pause.
TEST_F(HostileClientTest, FailedConnectClosesOnlyItsOwnHandle) {
  const Device d = plugDevice("1-3", "loopback");
  startServer();
  setTextParam(("zov_prereset_" + std::to_string(d.port)).c_str(), "on");
  UsbTestClient& c = client();
  std::vector<uint8_t> body(2 + USB_CLIENT_NAME_SIZE, 0);
  body[0] = static_cast<uint8_t>(d.row);
  body[1] = static_cast<uint8_t>(d.port);
  ASSERT_TRUE(c.send(USB_OP_CONNECT, 0x21, body));
  pauseMs(300);  // inside the pre-reset pause (1 s)
  int bus = 0, dev = 0;
  ASSERT_TRUE(host().deviceNumbers("1-3", &bus, &dev));
  const int others = host().openDevice(bus, dev, O_RDWR);
  ASSERT_GE(others, 0);
  {
    RowMutex hold(d.row);
    usbDeviceTable[d.row].usbfsHandle = others;
  }
  fault("1-3", "gone");  // the second open fails
  UsbReply r;
  ASSERT_TRUE(c.readReply(r, 5000));
  EXPECT_NE(USB_STATUS_OK, r.header.status);
  RowMutex hold(d.row);
  EXPECT_EQ(others, usbDeviceTable[d.row].usbfsHandle) << "the other request's handle stays open";
}

// The alternate settings of a SET_CONFIGURATION apply also when its value
// is already current: the device is asked (and here refuses a setting it
// does not have).
TEST_F(HostileClientTest, AlternateSettingsApplyWhenTheConfigurationIsCurrent) {
  Device d;
  UsbTestClient& c = serve("1-3", "loopback", &d);  // configuration 1 is current
  UsbReply r;
  ASSERT_TRUE(c.request(r, USB_OP_SET_CONFIGURATION, 0x78,
                        {static_cast<uint8_t>(d.row), static_cast<uint8_t>(d.port), 1, 1, 0, 0}));
  EXPECT_EQ(USB_STATUS_OK, r.header.status) << "alternate 0 exists";
  ASSERT_TRUE(c.request(r, USB_OP_SET_CONFIGURATION, 0x79,
                        {static_cast<uint8_t>(d.row), static_cast<uint8_t>(d.port), 1, 1, 0, 9}));
  EXPECT_EQ(USB_STATUS_FAILED, r.header.status) << "alternate 9 was asked for";
  EXPECT_EQ(EINVAL, r.header.error);
}

}  // namespace
