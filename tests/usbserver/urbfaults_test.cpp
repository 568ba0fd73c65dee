// Transfers that go wrong: bodies that are refused or cut short, lengths
// beyond the limits, discards and aborts with transfers in flight, devices
// that vanish or are taken over, and clients that stop reading.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <map>
#include <thread>

#include "platform/simusb/usbhost_sim.h"
#include "runtime/tls/tlsconnection.h"
#include "usbserver/devices/usbdevicetable.h"
#include "usbserver/support/urb_test_support.h"
#include "usbserver/transfers/urbengine.h"
#include "usbserver/transfers/urbrequest.h"

namespace {

constexpr uint32_t kFinal = USB_REPLY_BIT | USB_OP_SUBMIT_URB;

void pauseMs(int ms) {
  const timespec t{ms / 1000, (ms % 1000) * 1000000L};
  nanosleep(&t, nullptr);
}

class UrbFaultTest : public UrbServerFixture {
 protected:
  static void expectAlive(UsbTestClient& c) {
    UsbReply r;
    ASSERT_TRUE(c.request(r, USB_OP_KEEP_ALIVE, 0x5252, {4, 3, 2, 1})) << "the next request is understood";
    EXPECT_EQ(USB_REPLY_BIT | USB_OP_KEEP_ALIVE, r.header.opcode);
    EXPECT_EQ(0x5252u, r.header.tag);
  }
  static bool noTransfersLeft() {
    return waitFor([] { return urbCount.load() == 0; }, 5000);
  }
  // Messages until a notice arrives; false when none does.
  static bool readUntilNotice(UsbTestClient& c, std::vector<UsbReply>& before, UsbReply& notice) {
    for (;;) {
      bool isNotice = false;
      UsbReply m;
      if (!readMessage(c, m, &isNotice)) return false;
      if (isNotice) {
        notice = m;
        return true;
      }
      before.push_back(m);
    }
  }
  void expectGone(const UsbReply& notice, const Device& d) {
    EXPECT_EQ(static_cast<uint32_t>(USB_OP_DEVICE_GONE), notice.header.opcode);
    EXPECT_EQ((std::vector<uint8_t>{static_cast<uint8_t>(d.row), static_cast<uint8_t>(d.port)}), notice.data);
  }
};

// Requests refused or answered without a transfer: their announced bytes
// are read, so the next request is understood.
TEST_F(UrbFaultTest, RefusedBodiesAreReadAndDropped) {
  Device d;
  UsbTestClient& c = serve("1-3", "loopback", &d);
  struct Case {
    const char* what;
    uint32_t context;  // bytes 0-2: isochronous packets
    uint8_t endpoint, type;
    uint32_t inLength, outLength;
    uint32_t status;
    int32_t error;
  } cases[] = {
      {"isochronous, two packets and OUT data", 0x000002u << 8, 0x01, 0, 0, 40, USB_STATUS_FAILED, 71},
      {"isochronous IN", 0x000001u << 8, 0x81, 0, 64, 0, USB_STATUS_FAILED, 71},
      {"transfer type above 3", 0, 0x01, 4, 0, 33, USB_STATUS_OK, 0},
      {"interrupt beyond the limit", 0, 0x81, kInterrupt, URB_MAX_SINGLE_LENGTH + 1, 0, USB_STATUS_FAILED, 12},
      {"bulk IN beyond the limit", 0, 0x81, kBulk, URB_MAX_BULK_IN_LENGTH + 1, 0, USB_STATUS_FAILED, 12},
      {"bulk OUT beyond the limit", 0, 0x01, kBulk, 0, URB_MAX_BULK_OUT_LENGTH + 1, USB_STATUS_FAILED, 12},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    std::vector<uint8_t> body = transferBody(d.row, d.port, k.endpoint, k.type, k.inLength, k.outLength);
    const uint32_t packets = k.context >> 8;
    body.resize(body.size() + packets * 16 + k.outLength, 0xEE);
    ASSERT_TRUE(c.send(USB_OP_SUBMIT_URB, 0x61, body, k.context | kUrbContext));
    UsbReply r;
    ASSERT_TRUE(c.readReply(r, 10000));
    EXPECT_EQ(kFinal, r.header.opcode);
    EXPECT_EQ(kUrbContext, r.header.context);
    EXPECT_EQ(k.status, r.header.status);
    EXPECT_EQ(k.error, r.header.error);
    expectAlive(c);
  }
  EXPECT_EQ(0, urbCount.load());
}

TEST_F(UrbFaultTest, VideoBulkBeyondTheLimitIsRefused) {
  Device d;
  UsbTestClient& c = serve("1-3", "loopback", &d);
  usbDeviceTable[d.row].descriptors.videoDevice = 1;
  ASSERT_TRUE(submit(c, 0x62, transferBody(d.row, d.port, 0x81, kBulk, URB_MAX_SINGLE_LENGTH + 1, 0)));
  UsbReply r;
  ASSERT_TRUE(c.readReply(r));
  EXPECT_EQ(USB_STATUS_FAILED, r.header.status);
  EXPECT_EQ(12, r.header.error);
  expectAlive(c);
}

TEST_F(UrbFaultTest, HugeRefusedBodyEndsTheConnection) {
  Device d;
  UsbTestClient& c = serve("1-3", "loopback", &d);
  ASSERT_TRUE(submit(c, 0x63, transferBody(d.row, d.port, 0x01, kBulk, 0, 0xF0000000u)));
  UsbReply r;
  ASSERT_TRUE(c.readReply(r));
  EXPECT_EQ(USB_STATUS_FAILED, r.header.status);
  EXPECT_EQ(12, r.header.error);
  EXPECT_TRUE(c.closedByServer(5000));
}

TEST_F(UrbFaultTest, OutDataSentWithAnInTransferIsDropped) {
  Device d;
  UsbTestClient& c = serve("1-3", "loopback", &d);
  const std::vector<uint8_t> data = patternBytes(20);
  transfer(c, d, 0x01, kBulk, 0, data);
  std::vector<UsbReply> in;
  ASSERT_TRUE(submit(c, 0x64, transferBody(d.row, d.port, 0x81, kBulk, 20, 5, {1, 2, 3, 4, 5})));
  ASSERT_TRUE(readCompletions(c, in));
  EXPECT_EQ(data, joinedData(in));
  expectAlive(c);
}

// A bulk OUT whose data stops half-way: nothing the client did not send
// reaches the device, and the connection ends.
TEST_F(UrbFaultTest, BulkOutCutShortIsNotSubmitted) {
  Device d;
  UsbTestClient& c = serve("1-3", "storage size=1M", &d);
  const std::string file = host().storageFile("1-3");
  auto fileBlocks = [&file] {
    std::vector<uint8_t> bytes(200 * 512);
    const int fd = ::open(file.c_str(), O_RDONLY);
    EXPECT_EQ(static_cast<ssize_t>(bytes.size()), ::pread(fd, bytes.data(), bytes.size(), 0));
    ::close(fd);
    return bytes;
  };
  const std::vector<uint8_t> before = fileBlocks();

  // WRITE(10) of 200 blocks at block 0.
  std::vector<uint8_t> cbw(31, 0);
  const uint32_t words[3] = {0x43425355, 7, 200 * 512};
  for (int w = 0; w < 3; ++w)
    for (int i = 0; i < 4; ++i) cbw[w * 4 + i] = static_cast<uint8_t>(words[w] >> (8 * i));
  cbw[14] = 10;
  const uint8_t write10[10] = {0x2A, 0, 0, 0, 0, 0, 0, 0, 200, 0};
  std::copy(write10, write10 + 10, cbw.begin() + 15);
  transfer(c, d, 0x02, kBulk, 0, cbw);

  std::vector<uint8_t> body = transferBody(d.row, d.port, 0x02, kBulk, 0, 200 * 512, patternBytes(70000, 1));
  ASSERT_TRUE(submit(c, 0x65, body));
  ::shutdown(c.socket().fd, SHUT_WR);
  EXPECT_TRUE(c.closedByServer(5000)) << "no reply: the connection ends";
  ASSERT_TRUE(waitConnections(0));
  EXPECT_TRUE(noTransfersLeft()) << urbCount.load();
  EXPECT_EQ(before, fileBlocks()) << "no block was written";
}

// A later chunk of a bulk OUT cannot be submitted: one answer for the
// transfer, none from the chunk already in flight.
TEST_F(UrbFaultTest, FailedLaterChunkIsAnsweredOnce) {
  Device d;
  UsbTestClient& c = serve("1-3", "loopback", &d);
  std::vector<uint8_t> body = transferBody(d.row, d.port, 0x01, kBulk, 0, 100000, patternBytes(100000));
  const size_t firstPart = USB_TRANSFER_DESCRIPTOR_SIZE + 65536;
  ASSERT_TRUE(c.send(USB_OP_SUBMIT_URB, 0x66, std::vector<uint8_t>(body.begin(), body.begin() + firstPart),
                     kUrbContext));
  pauseMs(200);  // the first chunk is in; the server waits for the second
  fault("1-3", "gone");
  ASSERT_TRUE(c.sendRaw(body.data() + firstPart, body.size() - firstPart));

  std::vector<UsbReply> replies;
  UsbReply notice;
  ASSERT_TRUE(readUntilNotice(c, replies, notice));
  expectGone(notice, d);
  ASSERT_EQ(1u, replies.size()) << "one answer for the transfer";
  EXPECT_EQ(0x66u, replies[0].header.tag);
  EXPECT_EQ(USB_STATUS_CANCELLED, replies[0].header.status);
  EXPECT_EQ(-19, replies[0].header.error);
  EXPECT_TRUE(c.quietFor(300));
  EXPECT_TRUE(noTransfersLeft()) << urbCount.load();
}

TEST_F(UrbFaultTest, DiscardOfAnOutTransferInFlight) {
  Device d;
  UsbTestClient& c = serve("1-3", "loopback delay=400", &d);
  ASSERT_TRUE(submit(c, 0x67, transferBody(d.row, d.port, 0x01, kBulk, 0, 1000, patternBytes(1000))));
  UsbReply discarded;
  ASSERT_TRUE(c.request(discarded, USB_OP_DISCARD_URB, 0x68, be32(0x67)));
  EXPECT_EQ(USB_REPLY_BIT | USB_OP_DISCARD_URB, discarded.header.opcode);
  EXPECT_EQ(USB_STATUS_OK, discarded.header.status);
  std::vector<UsbReply> completion;
  ASSERT_TRUE(readCompletions(c, completion));
  ASSERT_EQ(1u, completion.size());
  EXPECT_EQ(0x67u, completion[0].header.tag);
  EXPECT_EQ(USB_STATUS_FAILED, completion[0].header.status);
  EXPECT_EQ(-2, completion[0].header.error) << "the kernel's cancellation status";
  EXPECT_TRUE(noTransfersLeft());
}

TEST_F(UrbFaultTest, AbortOfAnEndpointWithTransfersInFlightAndQueued) {
  Device d;
  UsbTestClient& c = serve("1-3", "loopback", &d);
  ASSERT_TRUE(submit(c, 0x71, transferBody(d.row, d.port, 0x81, kBulk, 200000, 0)));  // in flight
  ASSERT_TRUE(submit(c, 0x72, transferBody(d.row, d.port, 0x81, kBulk, 512, 0)));     // queued
  ASSERT_TRUE(c.send(USB_OP_ABORT_ENDPOINT, 0x73, {static_cast<uint8_t>(d.row), static_cast<uint8_t>(d.port), 0x81}));
  std::map<uint32_t, UsbReply> byTag;
  for (int i = 0; i < 3; ++i) {
    UsbReply r;
    ASSERT_TRUE(c.readReply(r)) << i;
    byTag[r.header.tag] = r;
  }
  ASSERT_EQ(3u, byTag.size());
  EXPECT_EQ(USB_STATUS_OK, byTag[0x73].header.status);
  EXPECT_EQ(USB_STATUS_FAILED, byTag[0x71].header.status) << "reaped with the cancellation status";
  EXPECT_EQ(-2, byTag[0x71].header.error);
  EXPECT_EQ(USB_STATUS_CANCELLED, byTag[0x72].header.status) << "never in flight";
  EXPECT_EQ(32, byTag[0x72].header.error);
  EXPECT_EQ(kFinal, byTag[0x72].header.opcode);
  EXPECT_TRUE(c.quietFor(200));
  EXPECT_TRUE(noTransfersLeft());

  // The endpoint works afterwards.
  const std::vector<uint8_t> data = patternBytes(10);
  transfer(c, d, 0x01, kBulk, 0, data);
  EXPECT_EQ(data, joinedData(transfer(c, d, 0x81, kBulk, 10)));
}

// A queued IN transfer goes in flight when the one before it fails too.
TEST_F(UrbFaultTest, QueuedInTransferRunsAfterAFailedOne) {
  Device d;
  UsbTestClient& c = serve("1-3", "loopback", &d);
  fault("1-3", "stall 0x81");
  ASSERT_TRUE(submit(c, 0x78, transferBody(d.row, d.port, 0x81, kBulk, 64, 0)));
  ASSERT_TRUE(submit(c, 0x79, transferBody(d.row, d.port, 0x81, kBulk, 64, 0)));
  for (uint32_t tag : {0x78u, 0x79u}) {
    UsbReply r;
    ASSERT_TRUE(c.readReply(r)) << tag;
    EXPECT_EQ(tag, r.header.tag);
    EXPECT_EQ(USB_STATUS_FAILED, r.header.status);
    EXPECT_EQ(-32, r.header.error);
  }
  EXPECT_TRUE(noTransfersLeft()) << urbCount.load();
}

// A queued OUT transfer goes in flight when the one before it, in several
// chunks, fails while all its chunks are with the device.
TEST_F(UrbFaultTest, QueuedOutTransferRunsAfterAFailedMultiChunkOne) {
  Device d;
  UsbTestClient& c = serve("1-3", "loopback", &d);
  fault("1-3", "timeout 0x01");  // the device takes no OUT data for now
  ASSERT_TRUE(submit(c, 0x7a, transferBody(d.row, d.port, 0x01, kBulk, 0, 150000, patternBytes(150000))));
  ASSERT_TRUE(submit(c, 0x7b, transferBody(d.row, d.port, 0x01, kBulk, 0, 10, patternBytes(10))));  // queued
  ASSERT_TRUE(waitFor([] { return urbCount.load() == 2; }, 5000)) << urbCount.load();
  EXPECT_TRUE(c.quietFor(200));
  fault("1-3", "stall 0x01");
  for (uint32_t tag : {0x7au, 0x7bu}) {
    UsbReply r;
    ASSERT_TRUE(c.readReply(r)) << std::hex << tag;
    EXPECT_EQ(tag, r.header.tag);
    EXPECT_EQ(kFinal, r.header.opcode);
    EXPECT_EQ(USB_STATUS_FAILED, r.header.status);
    EXPECT_EQ(-32, r.header.error);
  }
  EXPECT_TRUE(c.quietFor(200));
  EXPECT_TRUE(noTransfersLeft()) << urbCount.load();
}

TEST_F(UrbFaultTest, DiscardOfAQueuedInTransfer) {
  Device d;
  UsbTestClient& c = serve("1-3", "loopback", &d);
  ASSERT_TRUE(submit(c, 0x74, transferBody(d.row, d.port, 0x81, kBulk, 100, 0)));  // in flight
  ASSERT_TRUE(submit(c, 0x75, transferBody(d.row, d.port, 0x81, kBulk, 100, 0)));  // queued
  // The queued transfer is answered CANCELLED at once, before the reply.
  ASSERT_TRUE(c.send(USB_OP_DISCARD_URB, 0x76, be32(0x75)));
  UsbReply cancelled, discarded;
  ASSERT_TRUE(c.readReply(cancelled));
  EXPECT_EQ(0x75u, cancelled.header.tag);
  EXPECT_EQ(USB_STATUS_CANCELLED, cancelled.header.status);
  ASSERT_TRUE(c.readReply(discarded));
  EXPECT_EQ(0x76u, discarded.header.tag);
  EXPECT_EQ(USB_STATUS_OK, discarded.header.status);
  // The data goes to the transfer in flight; the discarded one never runs.
  const std::vector<uint8_t> data = patternBytes(30);
  ASSERT_TRUE(submit(c, 0x77, transferBody(d.row, d.port, 0x01, kBulk, 0, 30, data)));
  std::map<uint32_t, UsbReply> byTag;
  while (byTag.count(0x74) == 0 || byTag.count(0x77) == 0) {
    UsbReply r;
    ASSERT_TRUE(c.readReply(r));
    byTag[r.header.tag] = r;
  }
  EXPECT_EQ(data, byTag[0x74].data);
  EXPECT_EQ(0u, byTag.count(0x75)) << "answered twice";
  const std::vector<uint8_t> more = patternBytes(12, 5);
  transfer(c, d, 0x01, kBulk, 0, more);
  const std::vector<UsbReply> next = transfer(c, d, 0x81, kBulk, 12);
  ASSERT_FALSE(next.empty());
  EXPECT_EQ(0x7A7Au, next.back().header.tag);
  EXPECT_EQ(more, joinedData(next)) << "the data is not taken by the discarded transfer";
  c.close();
  ASSERT_TRUE(waitConnections(0));
  EXPECT_TRUE(noTransfersLeft()) << urbCount.load();
}

TEST_F(UrbFaultTest, UnpluggedWithTransfersInFlight) {
  Device d;
  UsbTestClient& c = serve("1-3", "loopback delay=300", &d);
  ASSERT_TRUE(submit(c, 0x81, transferBody(d.row, d.port, 0x81, kBulk, 200000, 0)));
  ASSERT_TRUE(submit(c, 0x82, transferBody(d.row, d.port, 0x81, kBulk, 512, 0)));
  ASSERT_TRUE(submit(c, 0x83, transferBody(d.row, d.port, 0x01, kBulk, 0, 70000, patternBytes(70000))));
  pauseMs(50);
  unplug("1-3");
  std::vector<UsbReply> before;
  UsbReply notice;
  ASSERT_TRUE(readUntilNotice(c, before, notice));
  expectGone(notice, d);
  for (const UsbReply& r : before) EXPECT_NE(USB_STATUS_OK, r.header.status) << r.header.tag;
  EXPECT_TRUE(c.quietFor(300)) << "nothing completes after the notice";
  EXPECT_TRUE(noTransfersLeft()) << urbCount.load();
  expectAlive(c);
}

TEST_F(UrbFaultTest, ConnectionEndingWithTransfersInFlight) {
  Device d;
  UsbTestClient& c = serve("1-3", "loopback delay=500", &d);
  ASSERT_TRUE(submit(c, 0x91, transferBody(d.row, d.port, 0x81, kBulk, 100000, 0)));
  ASSERT_TRUE(submit(c, 0x92, transferBody(d.row, d.port, 0x81, kBulk, 100, 0)));
  ASSERT_TRUE(submit(c, 0x93, transferBody(d.row, d.port, 0x01, kBulk, 0, 100000, patternBytes(100000))));
  pauseMs(50);
  c.close();
  ASSERT_TRUE(waitConnections(0));
  EXPECT_TRUE(noTransfersLeft()) << urbCount.load();
}

// Another client takes the device while the owner's transfers are in
// flight and completing on the simulator's thread.
TEST_F(UrbFaultTest, TakeoverWithTransfersInFlight) {
  const Device d = plugDevice("1-3", "loopback delay=2");
  startServer();
  UsbTestClient* clients[2] = {&client(), &client()};
  attach(*clients[0], d);
  for (int round = 0; round < 6; ++round) {
    SCOPED_TRACE(round);
    UsbTestClient& owner = *clients[round % 2];
    UsbTestClient& next = *clients[(round + 1) % 2];
    for (uint32_t i = 0; i < 8; ++i) {
      const std::vector<uint8_t> data = patternBytes(3000 + i);
      ASSERT_TRUE(submit(owner, 0x100 + i, transferBody(d.row, d.port, 0x01, kBulk, 0, 3000 + i, data)));
      ASSERT_TRUE(submit(owner, 0x200 + i, transferBody(d.row, d.port, 0x81, kBulk, 3000 + i, 0)));
    }
    attach(next, d);
    std::vector<UsbReply> before;
    UsbReply notice;
    ASSERT_TRUE(readUntilNotice(owner, before, notice));
    expectGone(notice, d);
    // Requests still on their way are refused; nothing completes any more.
    for (;;) {
      UsbReply late;
      if (!owner.readReply(late, 300)) break;
      EXPECT_EQ(USB_STATUS_REFUSED, late.header.status) << std::hex << late.header.tag;
      EXPECT_EQ(12, late.header.error);
    }
  }
  EXPECT_TRUE(noTransfersLeft()) << urbCount.load();
  // The device still holds what the owners' OUT transfers sent and no IN
  // transfer of theirs read before the takeover: the last owner resets it
  // first, as a host taking over a device mid-command must.
  UsbTestClient& last = *clients[0];
  UsbReply reset;
  ASSERT_TRUE(last.request(reset, USB_OP_RESET_DEVICE, 0x76,
                           {static_cast<uint8_t>(d.row), static_cast<uint8_t>(d.port)}));
  ASSERT_EQ(USB_STATUS_OK, reset.header.status) << reset.header.error;
  const std::vector<uint8_t> data = patternBytes(77);
  transfer(last, d, 0x01, kBulk, 0, data);
  EXPECT_EQ(data, joinedData(transfer(last, d, 0x81, kBulk, 77)));
}

// While the owner's task waits to write completions its client does not
// read, the row stays free for other clients' requests.
TEST_F(UrbFaultTest, OwnerStuckInAWriteDoesNotHoldTheRow) {
  Device d;
  UsbTestClient& owner = serve("1-3", "storage size=4M", &d);
  // READ(10) of 128 blocks, many times over, without reading the answers.
  std::vector<uint8_t> cbw(31, 0);
  const uint32_t words[3] = {0x43425355, 9, 128 * 512};
  for (int w = 0; w < 3; ++w)
    for (int i = 0; i < 4; ++i) cbw[w * 4 + i] = static_cast<uint8_t>(words[w] >> (8 * i));
  cbw[12] = 0x80;
  cbw[14] = 10;
  const uint8_t read10[10] = {0x28, 0, 0, 0, 0, 0, 0, 0, 128, 0};
  std::copy(read10, read10 + 10, cbw.begin() + 15);
  constexpr int kRounds = 300;  // about 19 MiB of answers
  for (int i = 0; i < kRounds; ++i) {
    ASSERT_TRUE(submit(owner, 0x1000 + i, transferBody(d.row, d.port, 0x02, kBulk, 0, 31, cbw)));
    ASSERT_TRUE(submit(owner, 0x2000 + i, transferBody(d.row, d.port, 0x81, kBulk, 128 * 512, 0)));
    ASSERT_TRUE(submit(owner, 0x3000 + i, transferBody(d.row, d.port, 0x81, kBulk, 13, 0)));
  }
  pauseMs(300);

  UsbTestClient& other = client();
  UsbReply r;
  ASSERT_TRUE(other.send(USB_OP_SUBMIT_URB, 0x4444, controlBody(d.row, d.port, 0x80, 6, 0x0302, 0x0409, 255, 255),
                         kUrbContext));
  ASSERT_TRUE(other.readReply(r, 5000)) << "the row is not held across the owner's write";
  EXPECT_EQ(USB_STATUS_OK, r.header.status);

  // Everything still arrives in full once the owner reads again.
  int finals = 0;
  size_t bytes = 0;
  while (finals < 3 * kRounds) {
    UsbReply m;
    ASSERT_TRUE(owner.readReply(m, 10000)) << finals;
    ASSERT_EQ(USB_STATUS_OK, m.header.status) << std::hex << m.header.tag;
    bytes += m.data.size();
    if (m.header.opcode == kFinal) ++finals;
  }
  EXPECT_EQ(static_cast<size_t>(kRounds) * (128 * 512 + 13), bytes);
}

}  // namespace
