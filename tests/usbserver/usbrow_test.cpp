// A row's node, handle, strings and special devices on the simulated host.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/simusb/usbhost_sim.h"
#include "usbserver/devices/usbcontrol.h"
#include "usbserver/devices/usbdevicetable.h"
#include "usbserver/discovery/usbscan.h"
#include "usbserver/support/scripted_string_host.h"
#include "usbserver/support/usb_table_fixture.h"

namespace {

constexpr uint16_t kEnglish = 0x0409;

class UsbRow : public UsbTableFixture {
 protected:
  // Enters one device at 1-1 and returns its row.
  UsbDeviceRow& enter(const std::string& kindAndOptions) {
    plug("1-1", kindAndOptions);
    EXPECT_EQ(1, rescanUsbDevices());
    const int row = rowOf("1-1");
    EXPECT_GE(row, 0);
    return usbDeviceTable[row < 0 ? 0 : row];
  }
};

TEST_F(UsbRow, ProbeCachesTheNameStringsAsTheDeviceSentThem) {
  UsbDeviceRow& row = enter("loopback product=Caf\xe2\x82\xac_\xc3\xa9t\xc3\xa9");  // "Caf€ été"
  const uint8_t iProduct = row.descriptors.device[15];
  ASSERT_NE(0, iProduct);
  uint8_t bytes[64] = {};
  const int n = row.findStringDescriptor(kEnglish, iProduct, bytes, sizeof bytes);
  ASSERT_EQ(2 + 2 * 8, n);
  EXPECT_EQ(n, bytes[0]);
  EXPECT_EQ(3, bytes[1]);
  EXPECT_EQ(0xAC, bytes[2 + 2 * 3]);  // '€' kept as UTF-16LE 0x20AC
  EXPECT_EQ(0x20, bytes[3 + 2 * 3]);
  EXPECT_EQ(0xE9, bytes[2 + 2 * 5]);  // 'é' is 0x00E9
  // Language table, manufacturer, product, serial.
  EXPECT_EQ(1, row.languageIdKnown);
  EXPECT_EQ(kEnglish, row.languageId);
  EXPECT_GT(row.findStringDescriptor(0, 0, bytes, sizeof bytes), 0);
  EXPECT_GT(row.findStringDescriptor(kEnglish, row.descriptors.device[14], bytes, sizeof bytes), 0);
  EXPECT_GT(row.findStringDescriptor(kEnglish, row.descriptors.device[16], bytes, sizeof bytes), 0);

  // The text copy shows characters above 0xFF as '?', the others as bytes.
  ASSERT_EQ(1, row.openDevice(O_RDWR));
  char text[64];
  EXPECT_EQ(8, row.readStringAscii(iProduct, text, sizeof text));
  EXPECT_STREQ("Caf? \xe9t\xe9", text);
  char small[4];
  EXPECT_EQ(3, row.readStringAscii(iProduct, small, sizeof small));
  EXPECT_STREQ("Caf", small);
  EXPECT_EQ(-1, row.readStringAscii(0, text, sizeof text));
  EXPECT_EQ(-1, row.readStringAscii(iProduct, nullptr, 10));
  EXPECT_EQ(1, row.closeDevice());
  EXPECT_EQ(0, row.closeDevice());
}

TEST_F(UsbRow, ControlTransferNeedsAHandleAndClearsTheBuffer) {
  UsbDeviceRow& row = enter("hid");
  uint8_t data[32];
  std::memset(data, 0x55, sizeof data);
  EXPECT_EQ(-1, usbControlTransfer(-1, 0x80, 6, 0x0100, 0, data, 18, 1000));
  int32_t handle = -1;
  ASSERT_EQ(1, row.openDevice(O_RDWR, &handle));
  EXPECT_EQ(-1, row.usbfsHandle);  // the handle went to the caller
  EXPECT_EQ(18, usbControlTransfer(handle, 0x80, 6, 0x0100, 0, data, sizeof data, 1000));
  EXPECT_EQ(0, std::memcmp(data, row.descriptors.device, 18));
  EXPECT_EQ(0, data[20]);  // cleared beyond what the device sent
  host().closeDevice(handle);
}

TEST_F(UsbRow, OpeningTheNodeOfAVanishedDeviceMarksTheRowRemoved) {
  UsbDeviceRow& row = enter("loopback");
  ASSERT_EQ(1, row.openDevice(O_RDWR));
  EXPECT_EQ(0, row.openDevice(O_RDWR));  // already open: nothing done
  row.closeDevice();
  unplug("1-1");
  errno = 0;
  EXPECT_EQ(0, row.openDevice(O_RDWR));
  EXPECT_NE(0, errno);
  EXPECT_EQ(UsbRowState::REMOVED, row.rowState());
  EXPECT_EQ(-1, row.usbfsHandle);
  // The rescan then has nothing more to announce; the row waits out its quarantine.
  EXPECT_EQ(0, rescanUsbDevices());
  EXPECT_EQ(UsbRowState::REMOVED, row.rowState());
  passQuarantine();
  rescanUsbDevices();
  EXPECT_EQ(UsbRowState::FREE, row.rowState());
}

TEST_F(UsbRow, RecyclingForgetsTheDeviceButKeepsItsNumbers) {
  UsbDeviceRow& row = enter("storage size=1M");
  ASSERT_EQ(1, row.openDevice(O_RDWR));
  const int32_t busnum = row.busnum, devnum = row.devnum, port = row.port;
  row.recycle();
  EXPECT_EQ(UsbRowState::FREE, row.rowState());
  EXPECT_EQ(-1, row.usbfsHandle);
  EXPECT_EQ(0, host().openHandleCount());  // the open handle was given back
  EXPECT_EQ(nullptr, row.descriptors.entry(0));
  EXPECT_EQ(0, row.descriptors.idVendor());
  EXPECT_EQ(0, row.cachedStringCount());
  EXPECT_EQ(0, row.languageIdKnown);
  EXPECT_STREQ("", row.product);
  EXPECT_EQ(1, row.descriptors.endpointsIn[USB_EP_CONTROL]);
  EXPECT_EQ(0, row.descriptors.endpointsIn[USB_EP_BULK]);
  EXPECT_EQ(-1, row.currentConfigIndex);
  EXPECT_TRUE(row.transfers.empty());
  EXPECT_EQ(busnum, row.busnum);
  EXPECT_EQ(devnum, row.devnum);
  EXPECT_EQ(port, row.port);
}

TEST_F(UsbRow, KeptConfigurationsAreThoseTheKernelShows) {
  UsbDeviceRow& row = enter("loopback configs=9");
  EXPECT_EQ(8, row.descriptors.configTableSize);
  EXPECT_EQ(8, row.descriptors.configCount);
  for (int i = 0; i < 8; ++i) EXPECT_EQ(i + 1, row.descriptors.entry(i)->configurationValue());
}

TEST_F(UsbRow, TheStartConfigurationDeviceBeginsWithItsFirstConfiguration) {
  EXPECT_EQ(0, enter("loopback vid=04b4 pid=1235").currentConfigIndex);
}

TEST_F(UsbRow, SpecialDeviceTestsUseTheCachedDescriptor) {
  UsbDeviceRow& row = enter("loopback vid=088e pid=5036");
  EXPECT_TRUE(row.needsLongPowerOff());
  EXPECT_TRUE(row.mustSkipOsStringDescriptor());
  row.recycle();  // the descriptor is gone, so is the special handling
  EXPECT_FALSE(row.needsLongPowerOff());
}

class UsbRowStrings : public UsbRow {
 protected:
  std::unique_ptr<SimUsbHost> makeHost() override {
    auto h = std::make_unique<ScriptedStringHost>();
    scripted_ = h.get();
    return h;
  }
  ScriptedStringHost* scripted_ = nullptr;
};

TEST_F(UsbRowStrings, ALanguageTableShorterThanFourBytesGivesNoStrings) {
  scripted_->answer = [](uint8_t index, uint16_t, uint8_t* data, uint16_t) {
    if (index != 0) return -EPIPE;
    data[0] = 2;
    data[1] = 3;
    return 2;
  };
  UsbDeviceRow& row = enter("loopback");
  EXPECT_EQ(0, row.languageIdKnown);
  // Only the language table was ever asked for, once per name string.
  for (uint8_t index : scripted_->asked()) EXPECT_EQ(0, index);
  uint8_t bytes[8];
  for (int index = 1; index < 256; ++index)
    EXPECT_EQ(-1, row.findStringDescriptor(0, static_cast<uint8_t>(index), bytes, sizeof bytes)) << index;
  char text[16];
  ASSERT_EQ(1, row.openDevice(O_RDWR));
  EXPECT_EQ(-1, row.readStringAscii(row.descriptors.device[15], text, sizeof text));
  row.closeDevice();
}

TEST_F(UsbRowStrings, FetchCachesOnlyAnswersThatMatchTheirLength) {
  UsbDeviceRow& row = enter("loopback");
  int32_t handle = -1;
  ASSERT_EQ(1, row.openDevice(O_RDWR, &handle));
  uint8_t out[255];
  struct Case {
    uint8_t index;
    int deviceResult;     // what the device answers (bytes, or -errno)
    uint8_t bLength;      // first byte of its answer
    int result;           // fetchStringDescriptor's result
    int cached;           // findStringDescriptor afterwards
  };
  const Case cases[] = {
      {40, 6, 6, 6, 6},           // complete: cached
      {41, 6, 10, 6, -1},         // cut short: returned, not cached
      {42, 0, 0, 0, -1},           // nothing at all: asked again next time
      {43, -EPIPE, 0, -EPIPE, -1}, // stall: not cached
      {44, -ETIMEDOUT, 0, -ETIMEDOUT, -1},
      {45, 255, 255, -1, -1},      // more than a descriptor can hold
  };
  for (const Case& c : cases) {
    scripted_->answer = [&c](uint8_t, uint16_t, uint8_t* data, uint16_t length) {
      if (c.deviceResult > 0) {
        std::memset(data, 'x', length);
        data[0] = c.bLength;
        data[1] = 3;
      }
      return c.deviceResult;
    };
    EXPECT_EQ(c.result, row.fetchStringDescriptor(handle, kEnglish, c.index, out, sizeof out)) << int(c.index);
    EXPECT_EQ(c.cached, row.findStringDescriptor(kEnglish, c.index, out, sizeof out)) << int(c.index);
  }
  host().closeDevice(handle);
}

TEST_F(UsbRowStrings, OsStringIsAskedOnlyOfDevicesThatCanTakeIt) {
  struct Case {
    const char* options;
    bool askedAtProbe;
  };
  const Case cases[] = {
      {"loopback", true},
      {"loopback vid=1bc0 pid=8101", false},
      {"loopback vid=088e pid=5036", false},
      {"loopback speed=low", true},  // still a USB 2.00 device
  };
  for (const Case& c : cases) {
    scripted_->forget();
    UsbDeviceRow& row = enter(c.options);
    bool asked = false;
    for (uint8_t index : scripted_->asked()) asked |= index == 0xEE;
    EXPECT_EQ(c.askedAtProbe, asked) << c.options;
    // 1bc0:8101 is never asked, not even later.
    scripted_->forget();
    uint8_t out[255];
    int32_t handle = -1;
    ASSERT_EQ(1, row.openDevice(O_RDWR, &handle));
    const int r = row.fetchStringDescriptor(handle, kEnglish, 0xEE, out, sizeof out);
    if (std::string(c.options).find("1bc0") != std::string::npos) {
      EXPECT_EQ(-1, r);
      EXPECT_TRUE(scripted_->asked().empty());
    } else {
      EXPECT_EQ(1u, scripted_->asked().size());
    }
    host().closeDevice(handle);
    unplug("1-1");
    clearUsbDeviceTable();
  }
}

}  // namespace
