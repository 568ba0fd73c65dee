// Hostile and failing devices leave the table consistent.
#include <gtest/gtest.h>

#include <string>

#include "platform/simusb/usbhost_sim.h"
#include "usbserver/devices/usbdevicetable.h"
#include "usbserver/discovery/usbscan.h"
#include "usbserver/support/usb_table_fixture.h"

namespace {

enum class Outcome { Entered, Refused };

struct FaultCase {
  const char* name;
  const char* fault;
  Outcome outcome;
};

class UsbFaults : public UsbTableFixture, public ::testing::WithParamInterface<FaultCase> {};

// Every present row is complete and every other row holds nothing.
void expectTableConsistent() {
  for (int i = 0; i < USB_TABLE_ROWS; ++i) {
    const UsbDeviceRow& row = usbDeviceTable[i];
    EXPECT_EQ(-1, row.usbfsHandle) << i;
    if (row.isPresent()) {
      EXPECT_EQ(1, row.descriptors.device[1]) << i;
      const int n = row.descriptors.configTableSize;
      EXPECT_GE(n, 1) << i;
      EXPECT_LE(n, 32) << i;
      EXPECT_NE(nullptr, row.descriptors.entry(n - 1)) << i;
      EXPECT_EQ(row.idVendor, row.descriptors.idVendor()) << i;
    } else if (row.rowState() == UsbRowState::FREE) {
      EXPECT_EQ(nullptr, row.descriptors.entry(0)) << i;
      EXPECT_EQ(0, const_cast<UsbDeviceRow&>(row).cachedStringCount()) << i;
    }
  }
}

TEST_P(UsbFaults, LeaveTheTableConsistent) {
  const FaultCase& c = GetParam();
  plug("1-2", "hid");  // a well-behaved neighbour
  plug("1-1", "loopback");
  fault("1-1", c.fault);
  rescanUsbDevices();
  EXPECT_GE(rowOf("1-2"), 0);
  const int row = rowOf("1-1");
  EXPECT_EQ(c.outcome == Outcome::Entered, row >= 0);
  EXPECT_EQ(0, host().openHandleCount());
  expectTableConsistent();

  // A refused device is tried again at every scan and entered once it behaves.
  rescanUsbDevices();
  EXPECT_EQ(c.outcome == Outcome::Entered, rowOf("1-1") >= 0);
  if (std::string(c.fault) == "gone") {
    unplug("1-1");
    plug("1-1", "loopback");
  } else {
    fault("1-1", "clear");
  }
  rescanUsbDevices();
  EXPECT_GE(rowOf("1-1"), 0);
  EXPECT_EQ(2, presentRows());
  expectTableConsistent();
}

INSTANTIATE_TEST_SUITE_P(
    Devices, UsbFaults,
    ::testing::Values(
        FaultCase{"ThirtyThreeConfigurations", "numconfigs 33", Outcome::Refused},
        FaultCase{"NoConfiguration", "numconfigs 0", Outcome::Refused},
        FaultCase{"FewerConfigurationsThanAnnounced", "numconfigs 3", Outcome::Entered},
        FaultCase{"InterfaceLengthZero", "blength 0", Outcome::Refused},
        FaultCase{"InterfaceLengthOne", "blength 1", Outcome::Refused},
        FaultCase{"InterfaceLength255", "blength 255", Outcome::Refused},
        // The walk then lands inside the interface and meets a length of 255.
        FaultCase{"InterfaceLengthFive", "blength 5", Outcome::Refused},
        FaultCase{"EndpointLengthZero", "blength 0 2", Outcome::Refused},
        FaultCase{"EndpointLength255", "blength 255 2", Outcome::Refused},
        FaultCase{"TotalLengthTooShort", "totallength 5", Outcome::Entered},
        FaultCase{"TotalLengthTooLong", "totallength 65535", Outcome::Entered},
        FaultCase{"HugeInterfaceCount", "numinterfaces 255", Outcome::Entered},
        FaultCase{"StalledControlPipe", "stall 0", Outcome::Entered},
        FaultCase{"SilentControlPipe", "timeout 0", Outcome::Entered},
        FaultCase{"Gone", "gone", Outcome::Refused}),
    [](const ::testing::TestParamInfo<FaultCase>& info) { return std::string(info.param.name); });


}  // namespace
