// The physical port of a device by model, bus and devpath; the table size
// by model; the special-device table.
#include <gtest/gtest.h>

#include "usbserver/devices/usbdevicetable.h"
#include "usbserver/devices/usbquirks.h"
#include "usbserver/discovery/usbportmap.h"

namespace {

struct PortCase {
  uint32_t productId;
  int bus;
  const char* devpath;
  int port;
};

class UsbPortMap : public ::testing::TestWithParam<PortCase> {};

TEST_P(UsbPortMap, GivesThePortOfTheModel) {
  const PortCase& c = GetParam();
  EXPECT_EQ(c.port, mapDevpathToUsbPort(c.productId, c.bus, c.devpath))
      << c.productId << " bus " << c.bus << " devpath " << c.devpath;
}

INSTANTIATE_TEST_SUITE_P(
    Models, UsbPortMap,
    ::testing::Values(
        // 346 and 357: the second component; -2 from 3 on.
        PortCase{346, 1, "1.1", 1}, PortCase{346, 1, "1.2", 2}, PortCase{357, 1, "1.3", -2},
        PortCase{357, 2, "1", 0},
        // 347: by bus.
        PortCase{347, 1, "1", 3}, PortCase{347, 2, "1", 2}, PortCase{347, 2, "2", 1},
        PortCase{347, 3, "1.4", 1}, PortCase{347, 4, "1", 0},
        // 353: five ports behind each of four hubs.
        PortCase{353, 1, "1.1", 1}, PortCase{353, 1, "1.5", 5}, PortCase{353, 1, "2.1", 6},
        PortCase{353, 1, "4.5", 20}, PortCase{353, 1, "3.2.4", 12}, PortCase{353, 1, "1", 0},
        // 356: six direct ports, then a hub on port 7 onwards.
        PortCase{356, 1, "1.6", 6}, PortCase{356, 1, "1.7.1", 7}, PortCase{356, 1, "1.7.4", 10},
        PortCase{356, 1, "1.7", 6},
        // 365: by bus.
        PortCase{365, 1, "1", 1}, PortCase{365, 2, "1.3", 1}, PortCase{365, 3, "1", 2},
        PortCase{365, 4, "1", 2}, PortCase{365, 5, "1", 1},
        // 366 and 367: ports 1 .. 3 on buses 1 and 2.
        PortCase{366, 1, "1.3", 3}, PortCase{367, 2, "1.1", 1}, PortCase{366, 1, "1.4", -1},
        PortCase{367, 3, "1.2", 0},
        // 370: bus 3 continues after port 4; bus 4 gives port 0.
        PortCase{370, 1, "1.4", 4}, PortCase{370, 3, "1.2", 6}, PortCase{370, 1, "1.5", -1},
        PortCase{370, 4, "1.1", 0},
        // Every other model offers no port.
        PortCase{326, 1, "1.1", -1}, PortCase{332, 1, "1.1", -1}, PortCase{0, 1, "1", -1},
        // Odd devpaths stay within the arithmetic.
        PortCase{353, 1, "", -5}, PortCase{353, 1, "99999999999.1", 49991}));

struct LimitCase {
  uint32_t usbtableProductId;
  int rows;
  int threshold;
};

class UsbTableLimits : public ::testing::TestWithParam<LimitCase> {};

TEST_P(UsbTableLimits, FollowTheTableModel) {
  usbHubLevelThreshold = 1;
  setUsbTableLimits(GetParam().usbtableProductId);
  EXPECT_EQ(GetParam().rows, USB_MAXDEVS);
  EXPECT_EQ(GetParam().threshold, usbHubLevelThreshold);
  EXPECT_EQ(1, isUsbRowIndexValid(USB_MAXDEVS - 1));
  EXPECT_EQ(0, isUsbRowIndexValid(USB_MAXDEVS));
  EXPECT_EQ(0, isUsbRowIndexValid(-1));
  setUsbTableLimits(0);
}

INSTANTIATE_TEST_SUITE_P(Models, UsbTableLimits,
                         ::testing::Values(LimitCase{346, 6, 2}, LimitCase{357, 6, 2}, LimitCase{347, 12, 0},
                                           LimitCase{366, 12, 0}, LimitCase{367, 12, 0}, LimitCase{353, 40, 2},
                                           LimitCase{356, 16, 2}, LimitCase{365, 10, 0}, LimitCase{0, 5, 1},
                                           LimitCase{332, 5, 1}));

TEST(UsbQuirks, EachDeviceHasItsHandlingAndNoOther) {
  struct Case {
    UsbQuirk quirk;
    uint16_t vendor, product;
    bool expected;
  };
  const Case cases[] = {
      {UsbQuirk::NeverEntered, 0x0424, 0x2740, true},
      {UsbQuirk::NeverEntered, 0x0424, 0x2741, false},
      {UsbQuirk::NoOsStringDescriptor, 0x1bc0, 0x8101, true},
      {UsbQuirk::UnconfigureFirst, 0x088e, 0x5036, true},
      {UsbQuirk::StartConfigPowerCycle, 0x04b4, 0x1235, true},
      {UsbQuirk::LocalConfigOne, 0x126f, 0x1165, true},
      {UsbQuirk::HardResetBeforeConfig, 0x110a, 0x1151, true},
      {UsbQuirk::AlwaysConfigureNoClearHalt, 0x0819, 0x0101, true},
      {UsbQuirk::NoClearHalt, 0x0a50, 0x0101, true},
      {UsbQuirk::NoClearHalt, 0x0819, 0x0101, false},
      {UsbQuirk::ResetEndpointForClearHalt, 0x2457, 0x101e, true},
      {UsbQuirk::HardResetForReset, 0x08df, 0x3201, true},
      {UsbQuirk::ResetAfterControlTimeout, 0x0529, 0x0001, true},
      {UsbQuirk::ResetAfterControlTimeout, 0x0001, 0x0529, false},  // halves not swapped
      {UsbQuirk::HardResetForUnconfigure, 0x0d46, 0x0001, true},
      {UsbQuirk::HardResetForUnconfigure, 0x0d46, 0xffff, true},
      {UsbQuirk::HardResetForUnconfigure, 0x0d47, 0x0001, false},
      {UsbQuirk::ResetFallbacksOnNoDevice, 0x1234, 0x8086, true},
      {UsbQuirk::ResetFallbacksOnNoDevice, 0x1139, 0x0001, true},
      {UsbQuirk::ResetFallbacksOnNoDevice, 0x8086, 0x1139, false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(c.expected, isUsbQuirkDevice(c.quirk, usbVendorProductWord(c.vendor, c.product)))
        << std::hex << c.vendor << ":" << c.product;
}

}  // namespace
