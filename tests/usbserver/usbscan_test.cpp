// Discovery on the simulated host: plugging and unplugging devices fills
// and frees rows, with the states, ports and quarantine of the table.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "params/store/paramstore.h"
#include "params/types/onoffparam.h"
#include "platform/simusb/usbhost_sim.h"
#include "platform/usb/usbhost.h"
#include "runtime/file/paths.h"
#include "runtime/task/uptime.h"
#include "usbserver/devices/usbdevicetable.h"
#include "usbserver/discovery/usbfilesystem.h"
#include "usbserver/discovery/usbscan.h"
#include "usbserver/support/usb_table_fixture.h"

namespace {

class UsbScan : public UsbTableFixture {};

TEST_F(UsbScan, DevicesBehindAHubGetRowsWithTheirIdentityAndDescriptors) {
  plug("1-1", "hub 4");
  plug("1-1.2", "hid");
  plug("1-1.3", "loopback serial=L_42 speed=full");
  plug("1-1.4", "storage size=1M speed=high");
  EXPECT_EQ(3, rescanUsbDevices());
  EXPECT_EQ(3, presentRows());  // the hub itself is not entered

  const int row = rowOf("1-1.3");
  ASSERT_GE(row, 0);
  const UsbDeviceRow& r = usbDeviceTable[row];
  int bus = 0, dev = 0;
  ASSERT_TRUE(host().deviceNumbers("1-1.3", &bus, &dev));
  EXPECT_EQ(UsbRowState::PRESENT, r.rowState());
  EXPECT_EQ(3, r.port);  // product 353: (1 - 1) x 5 + 3
  EXPECT_EQ(bus, r.busnum);
  EXPECT_EQ(dev, r.devnum);
  EXPECT_EQ(2, r.level);
  EXPECT_EQ(19, r.devpathHash);  // "1.3": 1, then 16, then 16 ^ 3
  EXPECT_EQ(-1, r.parent);
  EXPECT_EQ(0x1209, r.idVendor);
  EXPECT_EQ(0x0002, r.idProduct);
  EXPECT_EQ(0xff, r.deviceClass);
  EXPECT_EQ(2, r.versionMajor);
  EXPECT_EQ(0, r.versionMinor);
  EXPECT_EQ(1, r.bcdDeviceHigh);
  EXPECT_EQ(0, r.bcdDeviceLow);
  EXPECT_STREQ("Simulated Devices", r.manufacturer);
  EXPECT_STREQ("Sim Loopback", r.product);
  EXPECT_STREQ("L 42", r.serial);
  EXPECT_EQ(USB_SPEED_FULL, r.speed);
  EXPECT_EQ(-1, r.usbfsHandle);  // the probe closed it again
  EXPECT_EQ(-1, r.currentConfigIndex);
  EXPECT_EQ(0x1209, r.descriptors.idVendor());
  ASSERT_NE(nullptr, r.descriptors.entry(0));
  EXPECT_GE(r.descriptors.configCount, 1);
  EXPECT_GE(r.descriptors.endpointsIn[USB_EP_BULK], 1);
  EXPECT_GE(r.descriptors.endpointsOut[USB_EP_BULK], 1);

  EXPECT_EQ(USB_SPEED_HIGH, usbDeviceTable[rowOf("1-1.4")].speed);
  EXPECT_EQ(2, usbDeviceTable[rowOf("1-1.2")].port);
  EXPECT_EQ(1, isUsbDevicePresentOnPort(row, 3));
  EXPECT_EQ(0, isUsbDevicePresentOnPort(row, 4));

  // The node was made with mode 0777, whatever the process mask says.
  struct stat st;
  ASSERT_EQ(0, ::stat(UsbHost::deviceNodePath(bus, dev).c_str(), &st));
  EXPECT_EQ(0777u, st.st_mode & 0777);
  EXPECT_EQ(0, host().openHandleCount());

  // A second scan finds nothing new and changes nothing.
  EXPECT_EQ(0, rescanUsbDevices());
  EXPECT_EQ(3, presentRows());
  EXPECT_EQ(row, rowOf("1-1.3"));
}

TEST_F(UsbScan, TheServiceLeavesTheProcessFileModeMaskAlone) {
  // Start from no node tree at all, under a mask that would strip 0777.
  ::rmdir(mapPath("/dev/bus/usb").c_str());
  ::rmdir(mapPath("/dev/bus").c_str());
  const mode_t before = ::umask(022);
  ASSERT_EQ(1, prepareUsbDeviceFilesystem());
  plug("1-1", "loopback");
  EXPECT_EQ(1, rescanUsbDevices());
  const mode_t after = ::umask(before);
  EXPECT_EQ(022u, after);
  for (const char* dir : {"/dev/bus", "/dev/bus/usb", "/dev/bus/usb/001"}) {
    struct stat st;
    ASSERT_EQ(0, ::stat(mapPath(dir).c_str(), &st)) << dir;
    EXPECT_EQ(0777u, st.st_mode & 0777) << dir;
  }
}

struct ReplugCase {
  const char* name;
  const char* identity;
  std::vector<const char*> hubs;
  const char* devpath;
  bool keptOut;  // the same device plugged again at once stays out
};

class UsbReplug : public UsbTableFixture, public ::testing::WithParamInterface<ReplugCase> {
 protected:
  UsbReplug() : UsbTableFixture(GetParam().identity) {}
};

TEST_P(UsbReplug, RemovedRowKeepsItsIdentityForTheQuarantine) {
  const ReplugCase& c = GetParam();
  for (const char* hub : c.hubs) plug(hub, "hub 4");
  plug(c.devpath, "loopback");
  plug("1-2", "hid");  // a neighbour that stays
  ASSERT_EQ(2, rescanUsbDevices());
  const int row = rowOf(c.devpath);
  ASSERT_GE(row, 0);
  int bus = 0, firstDevnum = 0;
  ASSERT_TRUE(host().deviceNumbers(c.devpath, &bus, &firstDevnum));

  unplug(c.devpath);
  EXPECT_EQ(0, rescanUsbDevices());
  EXPECT_EQ(UsbRowState::REMOVED, usbDeviceTable[row].rowState());
  EXPECT_EQ(1, presentRows());

  plug(c.devpath, "loopback");
  int devnum = 0;
  ASSERT_TRUE(host().deviceNumbers(c.devpath, &bus, &devnum));
  ASSERT_NE(firstDevnum, devnum) << "the bus renumbers a plugged device";
  if (c.keptOut) {
    EXPECT_EQ(0, rescanUsbDevices());
    EXPECT_EQ(UsbRowState::REMOVED, usbDeviceTable[row].rowState());
    EXPECT_EQ(devnum, usbDeviceTable[row].devnum);  // the kept row follows the renumbering
    EXPECT_EQ(1, presentRows());
    // Half-way through the quarantine (the test itself takes real time too).
    shiftUptimeForTesting(USB_REMOVED_QUARANTINE_CS / 2);
    EXPECT_EQ(0, rescanUsbDevices());
    EXPECT_EQ(1, presentRows());
    shiftUptimeForTesting(USB_REMOVED_QUARANTINE_CS / 2);  // now 100 ticks after the removal
  }
  EXPECT_EQ(1, rescanUsbDevices());
  EXPECT_EQ(2, presentRows());
  const int again = rowOf(c.devpath);
  ASSERT_GE(again, 0);
  EXPECT_EQ(UsbRowState::PRESENT, usbDeviceTable[again].rowState());
}

INSTANTIATE_TEST_SUITE_P(
    Levels, UsbReplug,
    ::testing::Values(
        // Threshold 2: only devices deeper than level 2 are recognised again.
        ReplugCase{"Level3Model353", "p353", {"1-1", "1-1.1"}, "1-1.1.2", true},
        ReplugCase{"Level2Model353", "p353", {"1-1"}, "1-1.3", false},
        // Threshold 0: every level is.
        ReplugCase{"Level1Model365", "p365", {}, "1-1", true}),
    [](const ::testing::TestParamInfo<ReplugCase>& info) { return std::string(info.param.name); });

TEST_F(UsbScan, ARenumberedDeviceDeepBehindHubsKeepsItsRow) {
  plug("1-1", "hub 4");
  plug("1-1.1", "hub 4");
  plug("1-1.1.3", "loopback");
  plug("1-1.2", "storage size=1M");
  ASSERT_EQ(2, rescanUsbDevices());
  const int deep = rowOf("1-1.1.3");
  const int shallow = rowOf("1-1.2");
  ASSERT_GE(deep, 0);
  ASSERT_GE(shallow, 0);
  // Both come back with new numbers before the next scan.
  unplug("1-1.1.3");
  unplug("1-1.2");
  plug("1-1.1.3", "loopback");
  plug("1-1.2", "storage size=1M");
  EXPECT_EQ(1, rescanUsbDevices());
  EXPECT_EQ(deep, rowOf("1-1.1.3"));
  EXPECT_EQ(UsbRowState::PRESENT, usbDeviceTable[deep].rowState());
  // The shallow one is a new device in a new row; its old row is removed.
  EXPECT_EQ(UsbRowState::REMOVED, usbDeviceTable[shallow].rowState());
  const int fresh = rowOf("1-1.2");
  ASSERT_GE(fresh, 0);
  EXPECT_NE(shallow, fresh);
  EXPECT_EQ(2, presentRows());
}

class UsbScan365 : public UsbTableFixture {
 protected:
  UsbScan365() : UsbTableFixture("p365") {}
};

TEST_F(UsbScan365, AFullTableLeavesDevicesOutAndTakesThemWhenARowIsFree) {
  ASSERT_EQ(10, USB_MAXDEVS);
  plug("1-1", "hub 7");
  plug("1-2", "hub 7");
  std::vector<std::string> devices;
  for (int i = 1; i <= 7; ++i) devices.push_back("1-1." + std::to_string(i));
  for (int i = 1; i <= 5; ++i) devices.push_back("1-2." + std::to_string(i));
  for (const std::string& d : devices) plug(d, "loopback");
  EXPECT_EQ(10, rescanUsbDevices());
  EXPECT_EQ(10, presentRows());
  EXPECT_EQ(0, rescanUsbDevices());  // the other two are tried again and stay out
  int outside = 0;
  for (const std::string& d : devices) outside += rowOf(d) < 0 ? 1 : 0;
  EXPECT_EQ(2, outside);

  // One leaves; after its quarantine a waiting device takes the row.
  unplug("1-1.1");
  EXPECT_EQ(0, rescanUsbDevices());
  EXPECT_EQ(9, presentRows());
  passQuarantine();
  EXPECT_EQ(1, rescanUsbDevices());
  EXPECT_EQ(10, presentRows());
  // Every present row is on port 1 (bus 1 of product 365).
  for (int i = 0; i < USB_MAXDEVS; ++i) EXPECT_EQ(1, usbDeviceTable[i].port);
}

class UsbScanHidOff : public UsbScan {
 protected:
  void SetUp() override {
    UsbScan::SetUp();
    hid_ = paramStore.findOnOff("zov_hid");
    ASSERT_NE(nullptr, hid_);
    saved_ = hid_->value();
    hid_->setValue(0);
  }
  void TearDown() override {
    if (hid_) hid_->setValue(saved_);
    UsbScan::TearDown();
  }
  OnOffParam* hid_ = nullptr;
  int32_t saved_ = 1;
};

TEST_F(UsbScanHidOff, SkipsHidDevicesByInterfaceComparingWholeNames) {
  plug("1-1", "loopback");           // no HID interface of its own
  plug("1-10", "hid");               // class 0, interface 1-10:1.0 of class 03
  plug("1-2", "loopback class=3");   // HID by device class
  plug("1-3", "storage size=1M");
  EXPECT_EQ(2, rescanUsbDevices());
  EXPECT_GE(rowOf("1-1"), 0);  // "1-10:1.0" is not an interface of "1-1"
  EXPECT_LT(rowOf("1-10"), 0);
  EXPECT_LT(rowOf("1-2"), 0);
  EXPECT_GE(rowOf("1-3"), 0);

  hid_->setValue(1);
  EXPECT_EQ(2, rescanUsbDevices());
  EXPECT_GE(rowOf("1-10"), 0);
  EXPECT_GE(rowOf("1-2"), 0);
}

class UsbScanUnknownModel : public UsbTableFixture {
 protected:
  UsbScanUnknownModel() : UsbTableFixture("unknown") {}
};

TEST_F(UsbScanUnknownModel, DevicesOnNoUsablePortAreNeverEntered) {
  EXPECT_EQ(5, USB_MAXDEVS);
  plug("1-1", "loopback");
  EXPECT_EQ(0, rescanUsbDevices());
  EXPECT_EQ(0, presentRows());
  EXPECT_EQ(0, host().openHandleCount());
}

TEST_F(UsbScan, NamesMissingFromTheDeviceComeFromTheUsbIdList) {
  writeFile("/romfs/usb.ids",
            "# comment line\n"
            "1208  Someone Else\n"
            "\t0002  Not This\n"
            "1209  Generic Vendor\n"
            "\t0001  Keyboard Thing\n"
            "\t0002  Loop Thing\n"
            "120a  Next Vendor\n");
  plug("1-1", "loopback manufacturer= product=");
  plug("1-2", "hid manufacturer=");              // the product line replaces its product too
  plug("1-3", "storage size=1M product=");       // no product line for 0003
  plug("1-4", "loopback vid=1300 product=");     // vendor not listed
  ASSERT_EQ(4, rescanUsbDevices());
  const UsbDeviceRow& a = usbDeviceTable[rowOf("1-1")];
  EXPECT_STREQ("Generic Vendor", a.manufacturer);
  EXPECT_STREQ(" Loop Thing", a.product);  // the product name starts at byte 6 of its line
  const UsbDeviceRow& b = usbDeviceTable[rowOf("1-2")];
  EXPECT_STREQ("Generic Vendor", b.manufacturer);
  EXPECT_STREQ(" Keyboard Thing", b.product);
  const UsbDeviceRow& c = usbDeviceTable[rowOf("1-3")];
  EXPECT_STREQ("Generic Vendor", c.manufacturer);  // replaced although it had one
  EXPECT_STREQ("", c.product);
  const UsbDeviceRow& d = usbDeviceTable[rowOf("1-4")];
  EXPECT_STREQ("Simulated Devices", d.manufacturer);
  EXPECT_STREQ("", d.product);
}

TEST_F(UsbScan, MountAndFileSystemListsAreSearchedLineByLine) {
  writeFile("/proc/mounts", "proc /proc proc rw 0 0\nnone /sys sysfs rw 0 0\n");
  writeFile("/proc/filesystems", "nodev\tsysfs\nnodev\tusbfs\n");
  EXPECT_EQ(0, isMountedInProcMounts("/sys"));
  EXPECT_EQ(0, isMountedInProcMounts("sysfs"));
  EXPECT_EQ(-1, isMountedInProcMounts("/dev/bus/usb"));
  EXPECT_STREQ("usbfs", findUsbfsFilesystemName());
  writeFile("/proc/filesystems", "nodev\tusbdevfs\n");
  EXPECT_STREQ("usbdevfs", findUsbfsFilesystemName());
  writeFile("/proc/filesystems", "nodev\tsysfs\n");
  EXPECT_EQ(nullptr, findUsbfsFilesystemName());
}

TEST_F(UsbScan, ConcurrentRescansRunOneAtATime) {
  for (int i = 1; i <= 4; ++i) plug("1-" + std::to_string(i), "loopback");
  int results[2] = {-1, -1};
  std::thread other([&] { results[1] = rescanUsbDevices(); });
  results[0] = rescanUsbDevices();
  other.join();
  // One scan entered the devices; a caller that had to wait adds nothing.
  EXPECT_EQ(4, results[0] + results[1]);
  EXPECT_EQ(4, presentRows());
}

}  // namespace
