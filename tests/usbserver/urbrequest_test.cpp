// How a transfer is cut into usbfs sub-requests, and the length limits.
#include <gtest/gtest.h>

#include <linux/usbdevice_fs.h>

#include "usbserver/protocol/wireprotocol.h"
#include "usbserver/transfers/urbengine.h"
#include "usbserver/transfers/urbrequest.h"

namespace {

UsbTransferDescriptor descriptor(uint8_t endpoint, uint8_t type, uint32_t inLength, uint32_t outLength) {
  UsbTransferDescriptor d;
  d.row = 3;
  d.port = 2;
  d.endpoint = endpoint;
  d.type = type;
  d.inLength = inLength;
  d.outLength = outLength;
  return d;
}

TEST(UrbRequestTest, SubRequestsOfATransfer) {
  struct Case {
    uint8_t endpoint, type;
    uint32_t length;
    bool video;
    std::vector<int> sizes;
  } cases[] = {
      {0x81, URB_TYPE_BULK, 0, false, {0}},
      {0x81, URB_TYPE_BULK, 1, false, {1}},
      {0x81, URB_TYPE_BULK, 65535, false, {65535}},
      {0x81, URB_TYPE_BULK, 65536, false, {65536}},
      {0x81, URB_TYPE_BULK, 65537, false, {65536, 1}},
      {0x81, URB_TYPE_BULK, 200000, false, {65536, 65536, 65536, 3392}},
      {0x02, URB_TYPE_BULK, 131072, false, {65536, 65536}},
      {0x81, URB_TYPE_BULK, 200000, true, {200000}},
      {0x81, URB_TYPE_INTERRUPT, 200000, false, {200000}},
      {0x01, URB_TYPE_INTERRUPT, 0, false, {0}},
  };
  const int32_t live = urbCount.load();
  for (const Case& k : cases) {
    SCOPED_TRACE(testing::Message() << k.length << (k.video ? " video" : "") << " type " << int(k.type));
    const bool in = (k.endpoint & 0x80) != 0;
    // The length of the other direction plays no part.
    const UsbTransferDescriptor d = descriptor(k.endpoint, k.type, in ? k.length : 999, in ? 999 : k.length);
    UsbRequestHeader h;
    h.context = 0x00000142;
    h.tag = 0xDEADBEEF;
    EXPECT_EQ(static_cast<int>(k.sizes.size()), urbSubRequestCount(k.type, k.length, k.video));
    UrbRequest* r = buildUrbRequest(h, d, k.video);
    ASSERT_NE(nullptr, r);
    EXPECT_EQ(live + 1, urbCount.load());
    EXPECT_EQ(3, r->row);
    EXPECT_EQ(k.endpoint, r->endpoint);
    EXPECT_EQ(k.type, r->type);
    EXPECT_EQ(0x142u, r->context);
    EXPECT_EQ(0xDEADBEEFu, r->tag);
    EXPECT_EQ(static_cast<int32_t>(k.length), r->bytesLeft);
    EXPECT_EQ(0u, r->flags.load());
    ASSERT_EQ(static_cast<int32_t>(k.sizes.size()), r->count);
    for (int i = 0; i < r->count; ++i) {
      EXPECT_EQ(nullptr, r->subs[i]) << "records come when their chunk is submitted";
      usbdevfs_urb* sub = urbSubRecord(r, i);
      ASSERT_NE(nullptr, sub);
      EXPECT_EQ(sub, urbSubRecord(r, i)) << "made once";
      EXPECT_EQ(k.sizes[i], sub->buffer_length) << i;
      EXPECT_EQ(k.type, sub->type);
      EXPECT_EQ(k.endpoint, sub->endpoint);
      EXPECT_EQ(r, sub->usercontext);
      EXPECT_EQ(nullptr, sub->buffer) << "buffers come when they are needed";
    }
    EXPECT_EQ(nullptr, urbSubRecord(r, r->count));
    freeUrbRequest(r);
    EXPECT_EQ(live, urbCount.load());
  }
}

TEST(UrbRequestTest, LengthLimits) {
  struct Case {
    uint8_t endpoint, type;
    uint32_t length;
    bool video;
    bool allowed;
  } cases[] = {
      {0x81, URB_TYPE_BULK, URB_MAX_BULK_IN_LENGTH, false, true},
      {0x81, URB_TYPE_BULK, URB_MAX_BULK_IN_LENGTH + 1, false, false},
      {0x81, URB_TYPE_BULK, 0xFFFFFFFFu, false, false},  // bytes left is signed
      {0x01, URB_TYPE_BULK, URB_MAX_BULK_OUT_LENGTH, false, true},
      {0x01, URB_TYPE_BULK, URB_MAX_BULK_OUT_LENGTH + 1, false, false},
      {0x81, URB_TYPE_BULK, URB_MAX_SINGLE_LENGTH, true, true},
      {0x81, URB_TYPE_BULK, URB_MAX_SINGLE_LENGTH + 1, true, false},
      {0x81, URB_TYPE_INTERRUPT, URB_MAX_SINGLE_LENGTH, false, true},
      {0x01, URB_TYPE_INTERRUPT, URB_MAX_SINGLE_LENGTH + 1, false, false},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(testing::Message() << k.length << (k.video ? " video" : "") << " ep " << int(k.endpoint));
    const bool in = (k.endpoint & 0x80) != 0;
    const UsbTransferDescriptor d = descriptor(k.endpoint, k.type, in ? k.length : 0, in ? 0 : k.length);
    EXPECT_EQ(k.allowed, urbLengthAllowed(d, k.video));
    UrbRequest* r = buildUrbRequest(UsbRequestHeader(), d, k.video);
    EXPECT_EQ(k.allowed, r != nullptr);
    freeUrbRequest(r);
  }
}

}  // namespace
