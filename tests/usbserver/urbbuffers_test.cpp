// Transfer data buffers mapped from the device's handle: reused across
// transfers, ordinary memory when the handle cannot map, and none left
// behind when the device is taken over with mapped buffers in flight.
#include <gtest/gtest.h>

#include <ctime>
#include <vector>

#include "platform/simusb/usbhost_sim.h"
#include "usbserver/support/urb_test_support.h"
#include "usbserver/transfers/urbbuffers.h"
#include "usbserver/transfers/urbengine.h"

namespace {

constexpr int kWaitMs = 30000;

class UrbBufferTest : public UrbServerFixture {
 protected:
  // Loopback OUT then IN of size bytes; the IN data must be the OUT data.
  void roundTrip(UsbTestClient& c, const Device& d, uint32_t size, uint8_t seed) {
    const std::vector<uint8_t> data = patternBytes(size, seed);
    const std::vector<UsbReply> out = transfer(c, d, 0x01, kBulk, 0, data);
    ASSERT_EQ(1u, out.size());
    ASSERT_EQ(USB_STATUS_OK, out[0].header.status);
    const std::vector<UsbReply> in = transfer(c, d, 0x81, kBulk, size);
    ASSERT_FALSE(in.empty());
    EXPECT_EQ(USB_STATUS_OK, in.back().header.status);
    EXPECT_EQ(data, joinedData(in));
  }
  // Every buffer given back once the clients are gone.
  bool nothingMappedLeft() {
    return waitFor(
        [this] {
          return urbCount.load() == 0 && mappedUrbBufferCount() == 0 && host().transferBufferCounts().live == 0;
        },
        kWaitMs);
  }
};

struct MappingCase {
  const char* devpath;
  bool nomap;  // the handle refuses every mapping
};

TEST_F(UrbBufferTest, BulkDataUsesMappedBuffersReusedAcrossTransfers) {
  const MappingCase cases[] = {{"1-3", false}, {"1-4", true}};
  Device devices[2];
  for (int i = 0; i < 2; ++i) {
    devices[i] = plugDevice(cases[i].devpath, "loopback");
    if (cases[i].nomap) {
      ASSERT_EQ(1, host().fault(cases[i].devpath, "nomap"));
    }
  }
  startServer();
  for (int i = 0; i < 2; ++i) {
    const MappingCase& k = cases[i];
    const Device& d = devices[i];
    SCOPED_TRACE(k.nomap ? "ordinary memory" : "mapped");
    const SimUsbHost::TransferBufferCounts start = host().transferBufferCounts();
    UsbTestClient& c = client();
    attach(c, d);
    // 200000 bytes: three whole chunks and a 3392-byte one (ordinary memory).
    roundTrip(c, d, 200000, 1);
    const SimUsbHost::TransferBufferCounts first = host().transferBufferCounts();
    for (int round = 0; round < 8; ++round) roundTrip(c, d, 200000, static_cast<uint8_t>(round + 2));
    const SimUsbHost::TransferBufferCounts later = host().transferBufferCounts();
    if (k.nomap) {
      EXPECT_EQ(start.mapped, later.mapped);
      EXPECT_EQ(start.urbsInMapped, later.urbsInMapped);
    } else {
      EXPECT_GT(first.mapped, start.mapped);
      EXPECT_EQ(first.mapped, later.mapped) << "the first round's buffers serve the later ones";
      // Six whole chunks a round (three OUT, three IN).
      EXPECT_EQ(first.urbsInMapped + 8 * 6, later.urbsInMapped);
    }
    c.close();
    ASSERT_TRUE(waitConnections(0, kWaitMs));
    EXPECT_TRUE(nothingMappedLeft()) << mappedUrbBufferCount() << " " << host().transferBufferCounts().live;
  }
}

// Another client takes the device while the owner's OUT and IN chunks, in
// mapped buffers, are in flight: the owner's buffers go with its handle
// and nothing stays mapped at the end.
TEST_F(UrbBufferTest, TakeoverWithMappedBuffersInFlight) {
  const Device d = plugDevice("1-3", "loopback delay=300");
  startServer();
  // Each takeover by a new client: an old owner may still have replies of
  // its refused transfers on the way, which a CONNECT of its own would read.
  std::vector<UsbTestClient*> clients = {&client()};
  attach(*clients[0], d);
  for (int round = 0; round < 4; ++round) {
    SCOPED_TRACE(round);
    UsbTestClient& owner = *clients.back();
    clients.push_back(&client());
    UsbTestClient& next = *clients.back();
    const uint64_t before = host().transferBufferCounts().urbsInMapped;
    ASSERT_TRUE(submit(owner, 0x100, transferBody(d.row, d.port, 0x01, kBulk, 0, 200000, patternBytes(200000))));
    ASSERT_TRUE(submit(owner, 0x200, transferBody(d.row, d.port, 0x81, kBulk, 200000, 0)));
    ASSERT_TRUE(waitFor([&] { return host().transferBufferCounts().urbsInMapped >= before + 3; }, kWaitMs))
        << "the OUT chunks are in flight in mapped buffers";
    attach(next, d);
    bool notice = false;
    for (int i = 0; i < 8 && !notice; ++i) {
      UsbReply m;
      ASSERT_TRUE(readMessage(owner, m, &notice, kWaitMs));
    }
    ASSERT_TRUE(notice) << "DEVICE_GONE for the old owner";
  }
  for (UsbTestClient* c : clients) c->close();
  ASSERT_TRUE(waitConnections(0, kWaitMs));
  EXPECT_TRUE(nothingMappedLeft()) << mappedUrbBufferCount() << " " << host().transferBufferCounts().live;
}

}  // namespace
