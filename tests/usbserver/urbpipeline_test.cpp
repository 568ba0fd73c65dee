// Bulk IN transfers of several chunks with a few chunks in flight at once:
// completions in order whatever the order of the reaps, a short or failed
// chunk in the middle, cancellation with the window full, and a device that
// sends nothing.
#include <gtest/gtest.h>

#include <map>

#include "platform/simusb/usbhost_sim.h"
#include "usbserver/devices/usbdevicetable.h"
#include "usbserver/support/urb_test_support.h"
#include "usbserver/transfers/urbengine.h"
#include "usbserver/transfers/urbpipeline.h"

namespace {

constexpr uint32_t kFinal = USB_REPLY_BIT | USB_OP_SUBMIT_URB;
constexpr uint32_t kPartial = USB_REPLY_BIT | USB_OP_URB_PARTIAL;
constexpr uint32_t kChunk = 65536;
constexpr int kWaitMs = 20000;

class UrbPipelineTest : public UrbServerFixture {
 protected:
  static bool noTransfersLeft() {
    return waitFor([] { return urbCount.load() == 0; }, kWaitMs);
  }
  // The completions of one transfer up to its final one.
  static std::vector<UsbReply> completionsOf(UsbTestClient& c) {
    std::vector<UsbReply> replies;
    EXPECT_TRUE(readCompletions(c, replies, kWaitMs)) << "no final completion";
    return replies;
  }
  // OUT data on the loopback device, which sends it back on 0x81.
  void feed(UsbTestClient& c, const Device& d, const std::vector<uint8_t>& data) {
    const std::vector<UsbReply> out = transfer(c, d, 0x01, kBulk, 0, data);
    ASSERT_EQ(1u, out.size());
    ASSERT_EQ(USB_STATUS_OK, out[0].header.status);
  }
  // Every completion but the last is an intermediate one of a whole chunk.
  static void expectChunked(const std::vector<UsbReply>& in) {
    for (size_t i = 0; i < in.size(); ++i) {
      EXPECT_EQ(i + 1 == in.size() ? kFinal : kPartial, in[i].header.opcode) << i;
      if (i + 1 < in.size()) {
        EXPECT_EQ(kChunk, in[i].header.dataLength) << i;
      }
    }
  }
};

// The data of a long transfer comes back in order, also when the host
// hands the completed chunks back newest first.
TEST_F(UrbPipelineTest, ChunksAreAnsweredInOrderWhateverTheReapOrder) {
  struct Case {
    const char* what;
    bool newestFirst;
    uint32_t size;
  } cases[] = {
      {"in order, three chunks and a rest", false, 3 * kChunk + 3392},
      {"newest first, three chunks and a rest", true, 3 * kChunk + 3392},
      {"newest first, twenty chunks", true, 20 * kChunk},
      {"newest first, one chunk more than the window", true, (URB_IN_WINDOW + 1) * kChunk},
  };
  Device d;
  UsbTestClient& c = serve("1-3", "loopback", &d);
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    if (k.newestFirst) fault("1-3", "reorder 0x81");
    const std::vector<uint8_t> data = patternBytes(k.size, static_cast<uint8_t>(k.size >> 9));
    feed(c, d, data);
    ASSERT_TRUE(submit(c, 0x300, transferBody(d.row, d.port, 0x81, kBulk, k.size, 0)));
    const std::vector<UsbReply> in = completionsOf(c);
    ASSERT_EQ((k.size + kChunk - 1) / kChunk, in.size());
    expectChunked(in);
    for (const UsbReply& r : in) EXPECT_EQ(USB_STATUS_OK, r.header.status);
    EXPECT_EQ(data, joinedData(in));
    fault("1-3", "clear");
  }
  EXPECT_TRUE(noTransfersLeft()) << urbCount.load();
}

// A short chunk ends the transfer with exactly the bytes before it; the
// chunks behind it, already in flight, take nothing of what follows.
TEST_F(UrbPipelineTest, ShortChunkInTheMiddleLeavesTheRestForTheNextTransfer) {
  Device d;
  UsbTestClient& c = serve("1-3", "loopback", &d);
  for (bool newestFirst : {false, true}) {
    SCOPED_TRACE(newestFirst ? "newest first" : "in order");
    if (newestFirst) fault("1-3", "reorder 0x81");
    const std::vector<uint8_t> first = patternBytes(kChunk + 100, 1);  // ends with a short packet
    const std::vector<uint8_t> second = patternBytes(70000, 2);
    feed(c, d, first);
    feed(c, d, second);
    ASSERT_TRUE(submit(c, 0x310, transferBody(d.row, d.port, 0x81, kBulk, 4 * kChunk, 0)));
    const std::vector<UsbReply> in = completionsOf(c);
    ASSERT_EQ(2u, in.size());
    expectChunked(in);
    EXPECT_EQ(100u, in[1].header.dataLength);
    EXPECT_EQ(USB_STATUS_OK, in[1].header.status);
    EXPECT_EQ(first, joinedData(in));

    ASSERT_TRUE(submit(c, 0x311, transferBody(d.row, d.port, 0x81, kBulk, 4 * kChunk, 0)));
    const std::vector<UsbReply> next = completionsOf(c);
    EXPECT_EQ(second, joinedData(next)) << "the data after the short packet is the next transfer's";
    EXPECT_TRUE(c.quietFor(200));
    EXPECT_TRUE(noTransfersLeft()) << urbCount.load();
  }
}

// A chunk that fails ends the transfer with its error, after the
// completions of the chunks before it; nothing follows.
TEST_F(UrbPipelineTest, FailedChunkInTheMiddleEndsTheTransferAfterTheOnesBefore) {
  struct Case {
    const char* what;
    const char* faultBefore;  // set before the transfer: a refused submission
    const char* faultAfter;   // set once two chunks are answered: a failed chunk
    int32_t error;
  } cases[] = {
      {"third chunk refused by usbfs", "nomem 0x81 2", nullptr, -12},
      {"third chunk stalls in flight", nullptr, "stall 0x81", -32},
  };
  Device d;
  UsbTestClient& c = serve("1-3", "loopback", &d);
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    const std::vector<uint8_t> data = patternBytes(2 * kChunk, 4);
    feed(c, d, data);
    if (k.faultBefore) fault("1-3", k.faultBefore);
    ASSERT_TRUE(submit(c, 0x320, transferBody(d.row, d.port, 0x81, kBulk, 6 * kChunk, 0)));
    std::vector<UsbReply> in;
    for (int i = 0; i < 2; ++i) {
      UsbReply r;
      ASSERT_TRUE(c.readReply(r, kWaitMs)) << i;
      EXPECT_EQ(kPartial, r.header.opcode) << i;
      in.push_back(r);
    }
    EXPECT_EQ(data, joinedData(in));
    if (k.faultAfter) fault("1-3", k.faultAfter);
    UsbReply failed;
    ASSERT_TRUE(c.readReply(failed, kWaitMs));
    EXPECT_EQ(kFinal, failed.header.opcode);
    EXPECT_EQ(USB_STATUS_FAILED, failed.header.status);
    EXPECT_EQ(k.error, failed.header.error);
    EXPECT_EQ(0u, failed.header.dataLength);
    EXPECT_TRUE(c.quietFor(200)) << "one final completion";
    EXPECT_TRUE(noTransfersLeft()) << urbCount.load();

    // The endpoint works again once the fault is gone.
    fault("1-3", "clear");
    const std::vector<uint8_t> more = patternBytes(kChunk + 7, 5);
    feed(c, d, more);
    EXPECT_EQ(more, joinedData(transfer(c, d, 0x81, kBulk, 4 * kChunk)));
  }
}

// The connection ends, or another client takes the device, while a full
// window of chunks waits for data: everything is given back, and no chunk
// of the old transfer takes the new owner's data.
TEST_F(UrbPipelineTest, FullWindowIsCancelledWhenTheOwnerGoes) {
  const Device d = plugDevice("1-3", "loopback");
  startServer();
  UsbTestClient* owner = &client();
  attach(*owner, d);
  for (bool takeover : {false, true}) {
    SCOPED_TRACE(takeover ? "taken over" : "closed");
    ASSERT_TRUE(submit(*owner, 0x330, transferBody(d.row, d.port, 0x81, kBulk, 16 * kChunk, 0)));
    ASSERT_TRUE(submit(*owner, 0x331, transferBody(d.row, d.port, 0x81, kBulk, 2 * kChunk, 0)));  // queued
    EXPECT_TRUE(waitFor([] { return urbCount.load() == 2; }, kWaitMs)) << urbCount.load();
    EXPECT_TRUE(owner->quietFor(200));
    UsbTestClient& next = client();
    if (takeover) {
      attach(next, d);
      UsbReply notice;
      bool isNotice = false;
      ASSERT_TRUE(readMessage(*owner, notice, &isNotice, kWaitMs));
      EXPECT_TRUE(isNotice);
      EXPECT_EQ(static_cast<uint32_t>(USB_OP_DEVICE_GONE), notice.header.opcode);
    } else {
      owner->close();
      ASSERT_TRUE(waitConnections(1, kWaitMs));
      attach(next, d);
    }
    EXPECT_TRUE(noTransfersLeft()) << urbCount.load();
    const std::vector<uint8_t> data = patternBytes(3 * kChunk, 6);
    feed(next, d, data);
    EXPECT_EQ(data, joinedData(transfer(next, d, 0x81, kBulk, 3 * kChunk)));
    owner = &next;
  }
}

// A device that sends nothing holds its chunks in flight, not the
// connection: other requests are served, and a discard ends the transfer.
TEST_F(UrbPipelineTest, DeviceThatSendsNothing) {
  Device d;
  UsbTestClient& c = serve("1-3", "loopback", &d);
  ASSERT_TRUE(submit(c, 0x340, transferBody(d.row, d.port, 0x81, kBulk, 32 * kChunk, 0)));
  EXPECT_TRUE(c.quietFor(200));
  UsbReply alive;
  ASSERT_TRUE(c.request(alive, USB_OP_KEEP_ALIVE, 0x341, {1, 2, 3, 4}));
  EXPECT_EQ(0x341u, alive.header.tag);

  ASSERT_TRUE(c.send(USB_OP_DISCARD_URB, 0x342, be32(0x340)));
  std::map<uint32_t, UsbReply> byTag;
  for (int i = 0; i < 2; ++i) {
    UsbReply r;
    ASSERT_TRUE(c.readReply(r, kWaitMs)) << i;
    byTag[r.header.tag] = r;
  }
  ASSERT_EQ(1u, byTag.count(0x340));
  EXPECT_EQ(kFinal, byTag[0x340].header.opcode);
  EXPECT_EQ(USB_STATUS_FAILED, byTag[0x340].header.status);
  EXPECT_EQ(-2, byTag[0x340].header.error) << "the kernel's cancellation status";
  EXPECT_EQ(USB_STATUS_OK, byTag[0x342].header.status);
  EXPECT_TRUE(c.quietFor(200)) << "one final completion";
  EXPECT_TRUE(noTransfersLeft()) << urbCount.load();

  const std::vector<uint8_t> data = patternBytes(kChunk * 2 + 1, 8);
  feed(c, d, data);
  EXPECT_EQ(data, joinedData(transfer(c, d, 0x81, kBulk, 4 * kChunk)));
}

}  // namespace
