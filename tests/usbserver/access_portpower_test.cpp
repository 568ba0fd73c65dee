// Port power timers and the published side of a device's life: row
// parameters, port LEDs and use counters, notification and relay events,
// and the per-row accessor.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "params/identity/productparams.h"
#include "params/store/paramstore.h"
#include "params/types/intparam.h"
#include "params/types/stringparam.h"
#include "platform/simusb/usbhost_sim.h"
#include "runtime/task/uptime.h"
#include "usbserver/devices/portpower.h"
#include "usbserver/devices/publishedparams.h"
#include "usbserver/devices/usbdevicetable.h"
#include "usbserver/discovery/usbscan.h"
#include "usbserver/support/usb_table_fixture.h"

namespace {

// What the board and the event hooks were asked to do.
struct Recorder {
  std::vector<std::pair<int, bool>> power;  // port index, on
  std::vector<std::pair<int, int>> leds;    // port, state
  int inUse = 0;
  int addressPattern = 0;
  int beeps = 0;
  std::vector<UsbDeviceEvent> events;
  std::vector<std::string> owners;  // owner texts of the events
  std::vector<int> relay;
  int cardReader = -1;  // -1: the query fails

  int ledOf(int port) const {
    int state = 0;
    for (const auto& [p, s] : leds)
      if (p == port) state = s;
    return state;
  }
};

Recorder* recorder = nullptr;

const UsbBoardHooks kBoard = {
    [](int index, bool on) {
      recorder->power.emplace_back(index, on);
      return true;
    },
    [](int* state) {
      if (recorder->cardReader < 0) return false;
      *state = recorder->cardReader;
      return true;
    },
    [](int port, int state) { recorder->leds.emplace_back(port, state); },
    [] { ++recorder->inUse; },
    [] { ++recorder->addressPattern; },
    [] { ++recorder->beeps; },
};

const UsbEventHooks kEvents = {
    [](const UsbDeviceEvent& e) {
      recorder->events.push_back(e);
      recorder->owners.push_back(e.owner ? e.owner : "");
    },
    [](int event) { recorder->relay.push_back(event); },
};

std::string rowText(const char* stem, int row) {
  StringParam* p = paramStore.findString((stem + std::to_string(row + 1)).c_str());
  return p ? p->getText() : "(missing)";
}

int rowNumber(const char* stem, int row) {
  IntParam* p = paramStore.findInt((stem + std::to_string(row + 1)).c_str());
  return p ? p->value() : -1;
}

uint32_t ip4(int a, int b, int c, int d) {
  const uint8_t bytes[4] = {static_cast<uint8_t>(a), static_cast<uint8_t>(b), static_cast<uint8_t>(c),
                            static_cast<uint8_t>(d)};
  uint32_t word;
  std::memcpy(&word, bytes, 4);
  return word;
}

class HookScope {
 public:
  HookScope() {
    recorder = &data;
    setUsbBoardHooks(&kBoard);
    setUsbEventHooks(&kEvents);
  }
  ~HookScope() {
    setUsbBoardHooks(nullptr);
    setUsbEventHooks(nullptr);
    recorder = nullptr;
  }
  Recorder data;
};

}  // namespace

TEST(UsbPortPower, PortComesBackWhenItsTimeHasPassed) {
  HookScope hooks;
  Recorder& r = hooks.data;
  powerOffUsbPortFor(4, 50);
  ASSERT_EQ(1u, r.power.size());
  EXPECT_EQ(std::make_pair(4, false), r.power[0]);
  EXPECT_GT(usbPortPowerOffDeadline(4), 0);
  powerOnExpiredUsbPorts();
  EXPECT_EQ(1u, r.power.size());
  shiftUptimeForTesting(30);
  powerOffUsbPortFor(4, 50);  // switched off again: the later deadline holds
  shiftUptimeForTesting(30);
  powerOnExpiredUsbPorts();
  EXPECT_EQ(2u, r.power.size());
  shiftUptimeForTesting(25);
  powerOnExpiredUsbPorts();
  ASSERT_EQ(3u, r.power.size());
  EXPECT_EQ(std::make_pair(4, true), r.power[2]);
  EXPECT_EQ(0, usbPortPowerOffDeadline(4));
  powerOnExpiredUsbPorts();
  EXPECT_EQ(3u, r.power.size());  // once only

  powerOffUsbPortFor(20, 10);
  powerOffUsbPortFor(-1, 10);
  EXPECT_EQ(3u, r.power.size());
  EXPECT_EQ(0, usbPortPowerOffDeadline(20));
}

TEST(UsbPortPower, WithoutBoardNothingIsSwitchedButTheTimerRuns) {
  powerOffUsbPortFor(0, 10);
  EXPECT_GT(usbPortPowerOffDeadline(0), 0);
  shiftUptimeForTesting(10);
  powerOnExpiredUsbPorts();
  EXPECT_EQ(0, usbPortPowerOffDeadline(0));
  int state = 5;
  EXPECT_EQ(0, queryUsbCardReader(&state));
}

class PublishedParamsTest : public UsbTableFixture {
 protected:
  void SetUp() override {
    UsbTableFixture::SetUp();
    resetUsbPortUseCounters();
    plug("1-1", "hub 4");  // product 353: hub port n is USB port n
  }
  void TearDown() override {
    if (Param* p = paramStore.find("zov_poffdura_3")) p->set("0");
    UsbTableFixture::TearDown();
  }
  // Plugs and scans: the row of the device.
  int attach(const std::string& devpath, const std::string& kind) {
    plug(devpath, kind);
    rescanUsbDevices();
    return rowOf(devpath);
  }
  // What CONNECT does once its reply went out.
  void connect(int row, uint32_t owner, const char* name) {
    noteUsbRowOwnerAddress(row, owner);
    usbDeviceTable[row].setRowState(UsbRowState::IN_USE);
    publishUsbDeviceConnected(row, name);
  }
  void release(int row) {
    publishUsbDeviceReleased(row);
    usbDeviceTable[row].setRowState(UsbRowState::PRESENT);
  }
};

TEST_F(PublishedParamsTest, DeviceLifeOnAPortLedModel) {
  HookScope hooks;
  Recorder& r = hooks.data;
  const int row = attach("1-1.3", "loopback manufacturer=Acme product=Echo_Box serial=");
  ASSERT_GE(row, 0);
  ASSERT_EQ(3, usbDeviceTable[row].port);
  EXPECT_EQ("Acme", rowText("usb_manu_", row));
  EXPECT_EQ("Echo Box", rowText("usb_prod_", row));
  EXPECT_EQ("?", rowText("usb_sern_", row));
  char id[8];
  std::snprintf(id, sizeof id, "%04x", usbDeviceTable[row].idVendor & 0xffff);
  EXPECT_EQ(id, rowText("usb_vendid_", row));
  std::snprintf(id, sizeof id, "%04x", usbDeviceTable[row].idProduct & 0xffff);
  EXPECT_EQ(id, rowText("usb_prodid_", row));
  EXPECT_EQ(3, rowNumber("usb_slot_", row));
  EXPECT_EQ("Available", rowText("usb_owner_", row));
  EXPECT_EQ(1, r.ledOf(3));
  EXPECT_EQ(100, usbPortUseCounters[2].load());
  ASSERT_FALSE(r.events.empty());
  EXPECT_EQ(USB_EVENT_ATTACHED, r.events.back().code);
  EXPECT_EQ(3, r.events.back().port);
  EXPECT_EQ(0x10000, r.relay.back());

  paramStore.find("zov_poffdura_3")->set("20");
  connect(row, ip4(192, 168, 1, 10), "desk-12");
  EXPECT_EQ("desk-12 (192.168.001.010)", rowText("usb_owner_", row));
  EXPECT_EQ(2, r.ledOf(3));
  EXPECT_EQ(USB_EVENT_CONNECTED, r.events.back().code);
  EXPECT_EQ("desk-12 (192.168.001.010)", r.owners.back());
  EXPECT_EQ(0x40000, r.relay.back());

  const int64_t before = uptimeCs();
  release(row);
  EXPECT_EQ("Available", rowText("usb_owner_", row));
  EXPECT_EQ(1, r.ledOf(3));
  EXPECT_EQ(USB_EVENT_DISCONNECTED, r.events.back().code);
  EXPECT_EQ("desk-12 (192.168.001.010)", r.owners.back());
  EXPECT_EQ(0x80000, r.relay.back());
  ASSERT_FALSE(r.power.empty());
  EXPECT_EQ(std::make_pair(2, false), r.power.back());
  EXPECT_GE(usbPortPowerOffDeadline(2), before + 200);
  EXPECT_LE(usbPortPowerOffDeadline(2), uptimeCs() + 200);
  shiftUptimeForTesting(200);
  powerOnExpiredUsbPorts();
  EXPECT_EQ(std::make_pair(2, true), r.power.back());

  unplug("1-1.3");
  passQuarantine();
  rescanUsbDevices();
  EXPECT_EQ(USB_EVENT_DETACHED, r.events.back().code);
  EXPECT_EQ("-", rowText("usb_manu_", row));
  EXPECT_EQ("-", rowText("usb_owner_", row));
  EXPECT_EQ("", rowText("usb_vendid_", row));
  EXPECT_EQ(0, rowNumber("usb_slot_", row));
  EXPECT_EQ(0, r.ledOf(3));
  EXPECT_EQ(0, usbPortUseCounters[2].load());
  EXPECT_EQ(0x20000, r.relay.back());
}

TEST_F(PublishedParamsTest, ReleaseSwitchesThePortOffOnlyWhenAsked) {
  HookScope hooks;
  Recorder& r = hooks.data;
  const int plain = attach("1-1.3", "loopback");
  connect(plain, 0, nullptr);
  release(plain);
  EXPECT_TRUE(r.power.empty());  // zov_poffdura_ 0
  // 088e:5036 stays off 3 s after a release all the same.
  const int special = attach("1-1.4", "loopback vid=088e pid=5036");
  connect(special, 0, nullptr);
  const int64_t before = uptimeCs();
  release(special);
  ASSERT_EQ(1u, r.power.size());
  EXPECT_EQ(std::make_pair(3, false), r.power[0]);
  EXPECT_GE(usbPortPowerOffDeadline(3), before + 300);
  // A release without a counted connection leaves the count alone.
  release(special);
  EXPECT_EQ(100, usbPortUseCounters[3].load());
  EXPECT_EQ(1, r.ledOf(4));
}

TEST_F(PublishedParamsTest, OwnerWithoutNameOrIpv4Address) {
  HookScope hooks;
  const int row = attach("1-1.3", "loopback");
  connect(row, ip4(10, 0, 0, 7), nullptr);
  EXPECT_EQ("010.000.000.007", rowText("usb_owner_", row));
  release(row);
  connect(row, 0, "v6-client");  // not an IPv4 peer
  EXPECT_EQ("v6-client (----)", rowText("usb_owner_", row));
  release(row);
}

TEST_F(PublishedParamsTest, LedStaysWhileADeviceIsLeftOnThePort) {
  HookScope hooks;
  Recorder& r = hooks.data;
  plug("1-1.2", "hub 4");
  const int a = attach("1-1.2.1", "loopback");
  const int b = attach("1-1.2.2", "hid");
  ASSERT_GE(a, 0);
  ASSERT_GE(b, 0);
  const int port = usbDeviceTable[a].port;
  ASSERT_EQ(port, usbDeviceTable[b].port);
  EXPECT_EQ(1, r.ledOf(port));
  unplug("1-1.2.1");
  passQuarantine();
  rescanUsbDevices();
  EXPECT_EQ(1, r.ledOf(port));
  unplug("1-1.2.2");
  passQuarantine();
  rescanUsbDevices();
  EXPECT_EQ(0, r.ledOf(port));
}

TEST_F(PublishedParamsTest, UnpluggedWhileInUseEndsAvailable) {
  HookScope hooks;
  Recorder& r = hooks.data;
  const int row = attach("1-1.3", "loopback");
  connect(row, ip4(192, 168, 1, 10), "x");
  publishUsbDeviceRemoved(row);
  EXPECT_EQ("-", rowText("usb_owner_", row));
  EXPECT_EQ(0, r.ledOf(3));
  EXPECT_EQ(0, usbPortUseCounters[2].load());  // the connection left without its device
  release(row);
  EXPECT_EQ("Available", rowText("usb_owner_", row));
  EXPECT_EQ(0, usbPortUseCounters[2].load());
}

TEST_F(PublishedParamsTest, CardReaderPortIsNotPublished) {
  HookScope hooks;
  Recorder& r = hooks.data;
  r.cardReader = 0;
  const int row = attach("1-1.1", "loopback");
  ASSERT_GE(row, 0);
  ASSERT_EQ(1, usbDeviceTable[row].port);
  ASSERT_EQ(1u, r.events.size());  // the event still goes out
  EXPECT_EQ(1, r.events[0].port);
  EXPECT_TRUE(r.relay.empty());
  EXPECT_TRUE(r.leds.empty());
  EXPECT_EQ("-", rowText("usb_manu_", row));
}

TEST_F(PublishedParamsTest, RelayCodesOfPortOne) {
  HookScope hooks;
  Recorder& r = hooks.data;
  const int row = attach("1-1.1", "loopback");
  connect(row, 0, nullptr);
  release(row);
  EXPECT_EQ((std::vector<int>{0x1000, 0x4000, 0x8000}), r.relay);
}

TEST_F(PublishedParamsTest, DeviceInfoItems) {
  const int row = attach("1-1.3", "loopback vid=abcd pid=12ef manufacturer=M product=P serial=S");
  char out[32];
  struct Case {
    int item;
    const char* text;
  };
  const Case cases[] = {{1, "M"}, {2, "P"}, {3, "S"}, {4, "----"}, {5, ""}, {6, "0x12EF"}, {7, "0xABCD"}, {9, "id err !!"}};
  for (const Case& c : cases) {
    EXPECT_EQ(static_cast<int>(std::strlen(c.text)), getUsbDeviceInfo(row, c.item, out, sizeof out)) << c.item;
    EXPECT_STREQ(c.text, out) << c.item;
  }
  connect(row, ip4(1, 2, 3, 4), nullptr);
  EXPECT_EQ(1, getUsbDeviceInfo(row, 5, out, sizeof out));
  EXPECT_EQ(15, getUsbDeviceInfo(row, 4, out, sizeof out));
  EXPECT_STREQ("001.002.003.004", out);
  release(row);
  // A text that does not fit is left out.
  EXPECT_EQ(0, getUsbDeviceInfo(row, 2, out, 1));
  EXPECT_EQ(-1, getUsbDeviceInfo(USB_MAXDEVS - 1, 1, out, sizeof out));  // a free row
  EXPECT_EQ(-1, getUsbDeviceInfo(-1, 1, out, sizeof out));
  EXPECT_EQ(-1, getUsbDeviceInfo(row, 1, nullptr, 0));
}


// A model with one USB LED: the ports of product 353, another product id.
class SingleLedParams : public UsbTableFixture {
 protected:
  void SetUp() override {
    UsbTableFixture::SetUp();
    resetUsbPortUseCounters();
    savedProduct_ = productParams().product_id;
    plug("1-1", "hub 4");
  }
  void TearDown() override {
    productParams().product_id = savedProduct_;
    UsbTableFixture::TearDown();
  }
  uint32_t savedProduct_ = 0;
};

TEST_F(SingleLedParams, StatusLedShowsUseUntilTheLastRelease) {
  HookScope hooks;
  Recorder& r = hooks.data;
  plug("1-1.2", "loopback");
  plug("1-1.3", "hid");
  rescanUsbDevices();  // ports as on product 353
  productParams().product_id = 326;
  ASSERT_FALSE(hasUsbPortLeds());
  r.leds.clear();
  std::vector<int> rows;
  for (int i = 0; i < USB_MAXDEVS; ++i)
    if (usbDeviceTable[i].isPresent() && usbDeviceTable[i].port >= 1) rows.push_back(i);
  ASSERT_EQ(2u, rows.size());
  EXPECT_TRUE(r.leds.empty());
  for (int row : rows) {
    noteUsbRowOwnerAddress(row, 0);
    usbDeviceTable[row].setRowState(UsbRowState::IN_USE);
    publishUsbDeviceConnected(row, "x");
  }
  EXPECT_EQ(2, r.inUse);
  EXPECT_EQ(2, usbConnectedCount.load());
  publishUsbDeviceReleased(rows[0]);
  EXPECT_EQ(0, r.addressPattern);
  publishUsbDeviceReleased(rows[1]);
  EXPECT_EQ(1, r.addressPattern);
  EXPECT_TRUE(r.power.empty());
}
