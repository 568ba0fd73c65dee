// Bulk and interrupt transfers through the server to simulated devices:
// chunking around the 64 KiB boundary, queued IN transfers, short packets,
// HID reports and a mass-storage device read block by block.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <map>

#include "platform/simusb/usbhost_sim.h"
#include "usbserver/devices/usbdevicetable.h"
#include "usbserver/support/urb_test_support.h"
#include "usbserver/transfers/urbengine.h"

namespace {

constexpr uint32_t kFinal = USB_REPLY_BIT | USB_OP_SUBMIT_URB;
constexpr uint32_t kPartial = USB_REPLY_BIT | USB_OP_URB_PARTIAL;

class UrbTransferTest : public UrbServerFixture {};

// OUT n bytes to the loopback device, then IN n bytes: the completions'
// sizes show how the transfer was cut.
struct ChunkCase {
  uint32_t size;
  std::vector<uint32_t> inChunks;  // data length of each IN completion
};

TEST_F(UrbTransferTest, LoopbackRoundTripsAroundTheChunkBoundary) {
  const ChunkCase cases[] = {
      {0, {0}},
      {1, {1}},
      {65535, {65535}},
      {65536, {65536}},
      {65537, {65536, 1}},
      {200000, {65536, 65536, 65536, 3392}},
  };
  Device d;
  UsbTestClient& c = serve("1-3", "loopback", &d);
  for (const ChunkCase& k : cases) {
    SCOPED_TRACE(k.size);
    const std::vector<uint8_t> data = patternBytes(k.size, static_cast<uint8_t>(k.size));
    const std::vector<UsbReply> out = transfer(c, d, 0x01, kBulk, 0, data);
    ASSERT_EQ(1u, out.size()) << "an OUT transfer has one completion";
    EXPECT_EQ(kFinal, out[0].header.opcode);
    EXPECT_EQ(USB_STATUS_OK, out[0].header.status);
    EXPECT_EQ(0u, out[0].header.dataLength);

    const std::vector<UsbReply> in = transfer(c, d, 0x81, kBulk, k.size);
    ASSERT_EQ(k.inChunks.size(), in.size());
    for (size_t i = 0; i < in.size(); ++i) {
      EXPECT_EQ(i + 1 == in.size() ? kFinal : kPartial, in[i].header.opcode) << i;
      EXPECT_EQ(USB_STATUS_OK, in[i].header.status) << i;
      EXPECT_EQ(k.inChunks[i], in[i].header.dataLength) << i;
      EXPECT_EQ(kUrbContext, in[i].header.context) << "only the context byte comes back";
      EXPECT_EQ(0x7A7Au, in[i].header.tag);
    }
    EXPECT_EQ(data, joinedData(in));
  }
  EXPECT_TRUE(waitFor([] { return urbCount.load() == 0; }, 2000)) << urbCount.load();
}

TEST_F(UrbTransferTest, TransfersOverTls) {
  Device d;
  UsbTestClient& c = serve("1-3", "loopback", &d, true);
  for (uint32_t size : {1u, 65537u, 200000u}) {
    SCOPED_TRACE(size);
    const std::vector<uint8_t> data = patternBytes(size, 11);
    const std::vector<UsbReply> out = transfer(c, d, 0x01, kBulk, 0, data);
    ASSERT_EQ(1u, out.size());
    EXPECT_EQ(USB_STATUS_OK, out[0].header.status);
    const std::vector<UsbReply> in = transfer(c, d, 0x81, kBulk, size);
    ASSERT_EQ((size + 65535) / 65536, in.size());
    EXPECT_EQ(data, joinedData(in));
  }
  UsbReply status;
  ASSERT_TRUE(submit(c, 0x51, controlBody(d.row, d.port, 0x80, 0, 0, 0, 2, 2)));
  ASSERT_TRUE(c.readReply(status));
  EXPECT_EQ(USB_STATUS_OK, status.header.status);
  EXPECT_EQ((std::vector<uint8_t>{0, 0}), status.data);
}

TEST_F(UrbTransferTest, ShortPacketInTheSecondChunkEndsTheTransfer) {
  Device d;
  UsbTestClient& c = serve("1-3", "loopback", &d);
  const std::vector<uint8_t> data = patternBytes(65536 + 100);
  transfer(c, d, 0x01, kBulk, 0, data);
  const std::vector<UsbReply> in = transfer(c, d, 0x81, kBulk, 200000);
  ASSERT_EQ(2u, in.size());
  EXPECT_EQ(kPartial, in[0].header.opcode);
  EXPECT_EQ(kFinal, in[1].header.opcode);
  EXPECT_EQ(100u, in[1].header.dataLength);
  EXPECT_EQ(data, joinedData(in));
}

TEST_F(UrbTransferTest, SecondBulkInOnAnEndpointWaitsForTheFirst) {
  Device d;
  UsbTestClient& c = serve("1-3", "loopback", &d);
  ASSERT_TRUE(submit(c, 0xA, transferBody(d.row, d.port, 0x81, kBulk, 512, 0)));
  ASSERT_TRUE(submit(c, 0xB, transferBody(d.row, d.port, 0x81, kBulk, 512, 0)));
  EXPECT_TRUE(c.quietFor(200)) << "both wait for data";

  // The first transfer takes the first data; the second is not in flight yet.
  const std::vector<uint8_t> first = patternBytes(100, 1);
  ASSERT_TRUE(submit(c, 0xC, transferBody(d.row, d.port, 0x01, kBulk, 0, 100, first)));
  std::map<uint32_t, UsbReply> byTag;
  for (int i = 0; i < 2; ++i) {
    UsbReply r;
    ASSERT_TRUE(c.readReply(r));
    byTag[r.header.tag] = r;
  }
  ASSERT_EQ(1u, byTag.count(0xA));
  ASSERT_EQ(1u, byTag.count(0xC));
  EXPECT_EQ(first, byTag[0xA].data);
  EXPECT_TRUE(c.quietFor(200)) << "the queued transfer is still waiting";

  const std::vector<uint8_t> second = patternBytes(60, 9);
  ASSERT_TRUE(submit(c, 0xD, transferBody(d.row, d.port, 0x01, kBulk, 0, 60, second)));
  byTag.clear();
  for (int i = 0; i < 2; ++i) {
    UsbReply r;
    ASSERT_TRUE(c.readReply(r));
    byTag[r.header.tag] = r;
  }
  ASSERT_EQ(1u, byTag.count(0xB));
  EXPECT_EQ(second, byTag[0xB].data);
}

TEST_F(UrbTransferTest, VideoDeviceBulkIsOneSubRequest) {
  Device d;
  UsbTestClient& c = serve("1-3", "loopback", &d);
  usbDeviceTable[d.row].descriptors.videoDevice = 1;
  const std::vector<uint8_t> data = patternBytes(200000);
  transfer(c, d, 0x01, kBulk, 0, data);
  const std::vector<UsbReply> in = transfer(c, d, 0x81, kBulk, 200000);
  ASSERT_EQ(1u, in.size()) << "no intermediate completions";
  EXPECT_EQ(kFinal, in[0].header.opcode);
  EXPECT_EQ(data, in[0].data);
}

TEST_F(UrbTransferTest, InterruptInCarriesHidReports) {
  Device d;
  UsbTestClient& c = serve("1-3", "hid", &d);
  ASSERT_TRUE(submit(c, 0x31, transferBody(d.row, d.port, 0x81, kInterrupt, 8, 0)));
  EXPECT_TRUE(c.quietFor(100));
  const std::vector<uint8_t> report = {0, 0, 0x04, 0, 0, 0, 0, 0};
  ASSERT_EQ(1, host().hidReport("1-3", report));
  std::vector<UsbReply> replies;
  ASSERT_TRUE(readCompletions(c, replies));
  ASSERT_EQ(1u, replies.size());
  EXPECT_EQ(USB_STATUS_OK, replies[0].header.status);
  EXPECT_EQ(0x31u, replies[0].header.tag);
  EXPECT_EQ(report, replies[0].data);

  // A report waiting before the transfer is asked for comes at once.
  ASSERT_EQ(1, host().hidReport("1-3", std::vector<uint8_t>(8, 0)));
  const std::vector<UsbReply> next = transfer(c, d, 0x81, kInterrupt, 8);
  ASSERT_EQ(1u, next.size());
  EXPECT_EQ(std::vector<uint8_t>(8, 0), next[0].data);
}

// The bulk-only transport: command block, data, status.
std::vector<uint8_t> commandBlock(uint32_t tag, uint32_t length, bool in, const std::vector<uint8_t>& cb) {
  std::vector<uint8_t> cbw(31, 0);
  const uint32_t words[3] = {0x43425355, tag, length};
  for (int w = 0; w < 3; ++w)
    for (int i = 0; i < 4; ++i) cbw[w * 4 + i] = static_cast<uint8_t>(words[w] >> (8 * i));
  cbw[12] = in ? 0x80 : 0;
  cbw[14] = static_cast<uint8_t>(cb.size());
  std::copy(cb.begin(), cb.end(), cbw.begin() + 15);
  return cbw;
}

TEST_F(UrbTransferTest, MassStorageInquiryAndReadOfManyBlocks) {
  Device d;
  UsbTestClient& c = serve("1-3", "storage size=1M", &d);
  const std::string file = host().storageFile("1-3");
  const std::vector<uint8_t> blocks = patternBytes(300 * 512, 3);
  {
    const int fd = ::open(file.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0) << file;
    ASSERT_EQ(static_cast<ssize_t>(blocks.size()), ::pwrite(fd, blocks.data(), blocks.size(), 10 * 512));
    ::close(fd);
  }

  transfer(c, d, 0x02, kBulk, 0, commandBlock(1, 36, true, {0x12, 0, 0, 0, 36, 0}));
  const std::vector<UsbReply> inquiry = transfer(c, d, 0x81, kBulk, 36);
  ASSERT_EQ(1u, inquiry.size());
  ASSERT_EQ(36u, inquiry[0].data.size());
  EXPECT_EQ("SIMUSB  ", std::string(inquiry[0].data.begin() + 8, inquiry[0].data.begin() + 16));
  const std::vector<UsbReply> status = transfer(c, d, 0x81, kBulk, 13);
  ASSERT_EQ(1u, status.size());
  ASSERT_EQ(13u, status[0].data.size());
  EXPECT_EQ(0, status[0].data[12]);

  // READ(10) of 300 blocks from block 10: 153600 bytes, three chunks.
  transfer(c, d, 0x02, kBulk, 0, commandBlock(2, 300 * 512, true, {0x28, 0, 0, 0, 0, 10, 0, 0x01, 0x2C, 0}));
  const std::vector<UsbReply> read = transfer(c, d, 0x81, kBulk, 300 * 512);
  ASSERT_EQ(3u, read.size());
  EXPECT_EQ(blocks, joinedData(read));
  const std::vector<UsbReply> readStatus = transfer(c, d, 0x81, kBulk, 13);
  ASSERT_EQ(1u, readStatus.size());
  ASSERT_EQ(13u, readStatus[0].data.size());
  EXPECT_EQ(0, readStatus[0].data[12]) << "command passed";
}

TEST_F(UrbTransferTest, TransfersOfAnotherClientOrClosedDeviceAreRefused) {
  Device d;
  UsbTestClient& owner = serve("1-3", "loopback", &d);
  (void)owner;
  UsbTestClient& other = client();
  // The OUT data of the refused transfer is read and dropped: the next
  // request is understood.
  ASSERT_TRUE(submit(other, 0x41, transferBody(d.row, d.port, 0x01, kInterrupt, 0, 5, {1, 2, 3, 4, 5})));
  UsbReply refused;
  ASSERT_TRUE(other.readReply(refused));
  EXPECT_EQ(USB_STATUS_REFUSED, refused.header.status);
  EXPECT_EQ(12, refused.header.error);
  UsbReply alive;
  ASSERT_TRUE(other.request(alive, USB_OP_KEEP_ALIVE, 0x42, {9, 8, 7, 6}));
  EXPECT_EQ(0x42u, alive.header.tag);

  // A port the row is not on.
  ASSERT_TRUE(submit(other, 0x43, transferBody(d.row, d.port + 1, 0x01, kBulk, 0, 3, {1, 2, 3})));
  UsbReply absent;
  ASSERT_TRUE(other.readReply(absent));
  EXPECT_EQ(USB_STATUS_FAILED, absent.header.status);
  EXPECT_EQ(19, absent.header.error);
  ASSERT_TRUE(other.request(alive, USB_OP_KEEP_ALIVE, 0x44, {1, 1, 1, 1}));
  EXPECT_EQ(0x44u, alive.header.tag);
}

}  // namespace
