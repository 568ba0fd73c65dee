// The descriptor walk over the bytes of a usbfs node.
#include <gtest/gtest.h>

#include <vector>

#include "usbserver/devices/usbdescriptors.h"
#include "usbserver/support/descriptor_blob.h"

namespace {

struct Walk {
  UsbDescriptorCache cache;
  std::vector<uint8_t> strings;  // indices the hook was told, in order
  int result = -1;

  explicit Walk(const std::vector<uint8_t>& bytes) {
    UsbDescriptorReader reader(bytes.data(), bytes.size());
    result = walkUsbDescriptors(reader, cache, &Walk::note, this);
  }
  static void note(void* self, uint8_t index) { static_cast<Walk*>(self)->strings.push_back(index); }
};

TEST(UsbDescriptorWalk, FillsTableCountsAndStringsOfAWellFormedDevice) {
  DescriptorBlob blob;
  blob.device(2, 0x046d, 0xc52b)
      .config(1, 2, 4)
      .interface(0, 0, 3, 5)
      .endpoint(0x81, 3)
      .interface(0, 1, 3)  // alternate setting of interface 0: listed once
      .endpoint(0x81, 3)
      .interface(1, 0, 8)
      .endpoint(0x02, 2)
      .endpoint(0x83, 2)
      .config(2, 1)
      .interface(7, 0, 14)
      .endpoint(0x84, 1, 9);
  Walk w(blob.bytes());
  ASSERT_EQ(1, w.result);
  EXPECT_EQ(0x046d, w.cache.idVendor());
  EXPECT_EQ(0xc52b, w.cache.idProduct());
  ASSERT_EQ(2, w.cache.configTableSize);
  const UsbConfigEntry* first = w.cache.entry(0);
  ASSERT_NE(nullptr, first);
  EXPECT_EQ(1, first->configurationValue());
  EXPECT_EQ(2, first->numInterfaces());
  EXPECT_EQ(0, first->interfaces[0]);
  EXPECT_EQ(1, first->interfaces[1]);
  EXPECT_EQ(0, first->interfaces[2]);  // the alternate setting added nothing
  EXPECT_EQ(7, w.cache.entry(1)->interfaces[0]);
  EXPECT_EQ(nullptr, w.cache.entry(2));
  EXPECT_EQ(1, w.cache.findConfiguration(2));
  EXPECT_EQ(-1, w.cache.findConfiguration(3));
  EXPECT_EQ(2, w.cache.configCount);
  EXPECT_EQ(4, w.cache.interfaceCount);
  EXPECT_EQ(1, w.cache.videoDevice);
  // IN: control 1, isochronous 1, bulk 1, interrupt 2; OUT: control 1, bulk 1.
  EXPECT_EQ((std::vector<uint8_t>{1, 1, 1, 2}),
            std::vector<uint8_t>(w.cache.endpointsIn, w.cache.endpointsIn + 4));
  EXPECT_EQ((std::vector<uint8_t>{1, 0, 1, 0}),
            std::vector<uint8_t>(w.cache.endpointsOut, w.cache.endpointsOut + 4));
  EXPECT_EQ((std::vector<uint8_t>{4, 5}), w.strings);
}

struct BadNode {
  const char* name;
  std::vector<uint8_t> bytes;
};

class UsbDescriptorWalkRefuses : public ::testing::TestWithParam<BadNode> {};

TEST_P(UsbDescriptorWalkRefuses, Node) {
  Walk w(GetParam().bytes);
  EXPECT_EQ(0, w.result);
  // Whatever was read stays within the table.
  EXPECT_LE(w.cache.configCount, 255);
}

INSTANTIATE_TEST_SUITE_P(
    Nodes, UsbDescriptorWalkRefuses,
    ::testing::Values(
        BadNode{"Empty", {}},
        BadNode{"ShortDeviceDescriptor", DescriptorBlob().device(1).truncate(17).bytes()},
        BadNode{"NotADeviceDescriptor", DescriptorBlob().raw({18, 2}).device(1).truncate(18).bytes()},
        BadNode{"NoConfiguration", DescriptorBlob().device(0).bytes()},
        BadNode{"ThirtyThreeConfigurations", DescriptorBlob().device(33).config(1, 0).bytes()},
        BadNode{"MoreConfigurationsThanAnnounced",
                DescriptorBlob().device(1).config(1, 0).config(2, 0).config(3, 0).bytes()},
        BadNode{"ConfigurationCutShort", DescriptorBlob().device(1).config(1, 0).truncate(18 + 5).bytes()},
        BadNode{"InterfaceCutShort", DescriptorBlob().device(1).config(1, 1).interface(0, 0).truncate(18 + 9 + 6).bytes()},
        BadNode{"LongInterfaceCutShort",
                DescriptorBlob().device(1).config(1, 1).interface(0, 0, 3, 0, 255).truncate(18 + 9 + 100).bytes()},
        BadNode{"EndpointCutShort", DescriptorBlob().device(1).config(1, 1).endpoint(0x81, 2).truncate(18 + 9 + 4).bytes()},
        BadNode{"SkipPastTheEnd", DescriptorBlob().device(1).config(1, 0).raw({40, 0x24, 1, 2}).bytes()}),
    [](const ::testing::TestParamInfo<BadNode>& info) { return std::string(info.param.name); });

TEST(UsbDescriptorWalk, ShortInterfaceDescriptorsAreSkippedNotRead) {
  // Lengths 0 and 1 once made the walk read 254 or 255 bytes as one
  // interface; now they are skipped like any other unknown descriptor.
  for (uint8_t length : {0, 1}) {
    DescriptorBlob blob;
    blob.device(1).config(1, 1).interface(5, 0, 3, 0, length);
    std::vector<uint8_t> bytes = blob.bytes();
    bytes.resize(bytes.size() + 255, 0);  // what the 8-bit skip passes over
    Walk w(bytes);
    EXPECT_EQ(1, w.result) << int(length);
    EXPECT_EQ(0, w.cache.interfaceCount) << int(length);
    EXPECT_EQ(0, w.cache.entry(0)->interfaces[0]) << int(length);
  }
  // A 5-byte "interface" is passed over and the walk goes on.
  DescriptorBlob blob;
  blob.device(1).config(1, 1).interface(5, 0, 3, 0, 5).interface(6, 0, 3);
  Walk w(blob.bytes());
  ASSERT_EQ(1, w.result);
  EXPECT_EQ(1, w.cache.interfaceCount);
  EXPECT_EQ(6, w.cache.entry(0)->interfaces[0]);
}

TEST(UsbDescriptorWalk, LongInterfaceDescriptorUsesOnlyItsOwnFields) {
  DescriptorBlob blob;
  blob.device(1).config(1, 1).interface(2, 0, 14, 9, 40).endpoint(0x81, 3);
  Walk w(blob.bytes());
  ASSERT_EQ(1, w.result);
  EXPECT_EQ(2, w.cache.entry(0)->interfaces[0]);
  EXPECT_EQ(1, w.cache.videoDevice);
  EXPECT_EQ(1, w.cache.endpointsIn[USB_EP_INTERRUPT]);
  EXPECT_EQ((std::vector<uint8_t>{9}), w.strings);
}

TEST(UsbDescriptorWalk, InterfaceSlotsStopAtSixtyFour) {
  DescriptorBlob blob;
  blob.device(1).config(1, 255);
  for (int i = 0; i < 70; ++i) blob.interface(static_cast<uint8_t>(i + 1), 0);
  Walk w(blob.bytes());
  ASSERT_EQ(1, w.result);
  EXPECT_EQ(70, w.cache.interfaceCount);
  EXPECT_EQ(64, w.cache.entry(0)->interfaces[63]);
}

TEST(UsbDescriptorWalk, InterfacesBeforeAnyConfigurationAreCountedNotStored) {
  DescriptorBlob blob;
  blob.device(1).interface(3, 0).config(1, 0).raw({7});  // a lone trailing byte ends the walk
  Walk w(blob.bytes());
  ASSERT_EQ(1, w.result);
  EXPECT_EQ(1, w.cache.interfaceCount);
  EXPECT_EQ(0, w.cache.entry(0)->interfaces[0]);
}

TEST(UsbDescriptorWalk, OddEndpointLengthsAndOtherConfigurationLengthsAreSkipped) {
  DescriptorBlob blob;
  blob.device(1).config(1, 1).endpoint(0x81, 2, 6).raw({12, 2, 0, 0, 1, 9, 0, 0, 0, 0, 0, 0}).endpoint(0x82, 2);
  Walk w(blob.bytes());
  ASSERT_EQ(1, w.result);
  EXPECT_EQ(1, w.cache.configCount);
  EXPECT_EQ(1, w.cache.endpointsIn[USB_EP_BULK]);
}

TEST(UsbDescriptorWalk, ResetForgetsEverything) {
  Walk w(DescriptorBlob().device(1, 0x1111, 0x2222).config(1, 1).interface(0, 0, 14).endpoint(0x81, 2).bytes());
  ASSERT_EQ(1, w.result);
  w.cache.reset();
  EXPECT_EQ(0, w.cache.idVendor());
  EXPECT_EQ(nullptr, w.cache.entry(0));
  EXPECT_EQ(0, w.cache.configTableSize);
  EXPECT_EQ(1, w.cache.endpointsIn[USB_EP_CONTROL]);
  EXPECT_EQ(0, w.cache.endpointsIn[USB_EP_BULK]);
  EXPECT_EQ(0, w.cache.videoDevice);
}

}  // namespace
