// The simulated host as the device scan and the descriptor reader see it:
// the sysfs tree of a hub with devices behind it, the node's contents,
// standard control requests, configurations and interfaces.
#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <set>

#include "platform/support/usbhosttest.h"
#include "runtime/file/paths.h"

namespace {

std::string text(UsbHost& host, const std::string& dir, const char* name) {
  char buffer[64];
  int n = host.readSysfsAttribute(dir, name, buffer, sizeof buffer);
  return n < 0 ? "<missing>" : std::string(buffer, static_cast<size_t>(n));
}

std::vector<uint8_t> readNode(UsbHost& host, int fd) {
  std::vector<uint8_t> out;
  uint8_t chunk[7];  // odd size: the position must carry over between reads
  int n;
  while ((n = host.readDevice(fd, chunk, sizeof chunk)) > 0) out.insert(out.end(), chunk, chunk + n);
  EXPECT_EQ(n, 0);
  return out;
}

using SimUsbEnumeration = SimUsbHostTest;

TEST_F(SimUsbEnumeration, HubWithFourDevicesAppearsInSysfs) {
  plugStandardTree();
  std::vector<std::string> paths;
  ASSERT_GT(host_->listSysfsDevices(paths), 0);
  std::set<std::string> names;
  for (const auto& p : paths) names.insert(p.substr(p.rfind('/') + 1));
  const std::set<std::string> expected = {"1-0:1.0", "1-1",   "1-1:1.0",   "1-1.2", "1-1.2:1.0",
                                          "1-1.3",   "1-1.3:1.0", "1-1.4", "1-1.4:1.0"};
  EXPECT_EQ(names, expected);
  EXPECT_TRUE(host_->hasSysfsAttribute(sysfsDevice("usb1"), "busnum"));

  struct Row {
    const char* name;
    const char* devpath;
    const char* deviceClass;
    const char* interfaceClass;
    const char* speed;
  } rows[] = {{"1-1", "1\n", "09\n", "09\n", "480\n"},
              {"1-1.2", "1.2\n", "00\n", "03\n", "12\n"},
              {"1-1.3", "1.3\n", "00\n", "08\n", "480\n"},
              {"1-1.4", "1.4\n", "ff\n", "ff\n", "480\n"}};
  std::set<std::string> devnums;
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    const std::string dir = sysfsDevice(r.name);
    EXPECT_EQ(text(*host_, dir, "busnum"), "1\n");
    EXPECT_EQ(text(*host_, dir, "devpath"), r.devpath);
    EXPECT_EQ(text(*host_, dir, "bDeviceClass"), r.deviceClass);
    EXPECT_EQ(text(*host_, dir, "speed"), r.speed);
    EXPECT_EQ(text(*host_, dir, "version"), " 2.00\n");
    EXPECT_EQ(text(*host_, dir, "bNumConfigurations"), "1\n");
    EXPECT_EQ(text(*host_, dir, "idVendor"), "1209\n");
    EXPECT_EQ(text(*host_, dir + ":1.0", "bInterfaceClass"), r.interfaceClass);
    int bus = 0, dev = 0;
    ASSERT_TRUE(host_->deviceNumbers(r.name, &bus, &dev));
    EXPECT_EQ(text(*host_, dir, "devnum"), std::to_string(dev) + "\n");
    EXPECT_EQ(text(*host_, dir, "dev"), "189:" + std::to_string(dev - 1) + "\n");
    devnums.insert(text(*host_, dir, "devnum"));
  }
  EXPECT_EQ(devnums.size(), 4u);
  EXPECT_EQ(text(*host_, sysfsDevice("1-1"), "maxchild"), "4\n");
  EXPECT_EQ(text(*host_, sysfsDevice("1-1.2"), "product"), "Sim Keyboard\n");
  EXPECT_EQ(text(*host_, sysfsDevice("1-1.2"), "bMaxPower"), "100mA\n");
}

TEST_F(SimUsbEnumeration, PlugRulesFollowTheTopology) {
  struct Case {
    const char* devpath;
    const char* kind;
    int plugged;
  } cases[] = {
      {"1-1.2", "hid", 0},           // no hub at 1-1 yet
      {"1-1", "hub 2", 1},           //
      {"1-1", "hid", 0},             // already plugged
      {"1-1.3", "hid", 0},           // the hub has two ports
      {"1-1.2", "hid", 1},           //
      {"1-1.2.1", "hid", 0},         // a HID device is no hub
      {"2-3", "loopback", 1},        // another bus
      {"1-16", "hid", 0},            // no such root port
      {"x-1", "hid", 0},             //
      {"1-", "hid", 0},              //
      {"1-2", "printer", 0},         // unknown kind
      {"1-2", "hid speed=warp", 0},  // bad option
      {"1-2", "storage size=12Q", 0},
  };
  for (const Case& c : cases) EXPECT_EQ(host_->plug(c.devpath, c.kind), c.plugged) << c.devpath << " " << c.kind;
}

TEST_F(SimUsbEnumeration, UnplugTakesTheDevicesBehindAHubAndNumbersAreNotReused) {
  plugStandardTree();
  int bus = 0, before = 0, after = 0;
  ASSERT_TRUE(host_->deviceNumbers("1-1.4", &bus, &before));
  EXPECT_EQ(host_->unplug("1-1.4"), 1);
  EXPECT_EQ(host_->unplug("1-1.4"), 0);
  EXPECT_FALSE(host_->hasSysfsAttribute(sysfsDevice("1-1.4"), "busnum"));
  EXPECT_FALSE(host_->hasSysfsAttribute(sysfsDevice("1-1.4:1.0"), "bInterfaceClass"));
  ASSERT_EQ(host_->plug("1-1.4", "loopback"), 1);
  ASSERT_TRUE(host_->deviceNumbers("1-1.4", &bus, &after));
  EXPECT_GT(after, before);  // the kernel hands out the next number

  EXPECT_EQ(host_->unplug("1-1"), 1);
  std::vector<std::string> paths;
  ASSERT_GE(host_->listSysfsDevices(paths), 0);
  for (const auto& p : paths) EXPECT_NE(p.find("1-0:1.0"), std::string::npos) << p;
  EXPECT_FALSE(host_->deviceNumbers("1-1.2", nullptr, nullptr));
}

TEST_F(SimUsbEnumeration, NodeHoldsDeviceThenEveryConfiguration) {
  ASSERT_EQ(host_->plug("1-1", "loopback configs=3"), 1);
  int fd = openPlugged("1-1", O_RDONLY);
  ASSERT_GE(fd, 0);
  std::vector<uint8_t> node = readNode(*host_, fd);
  ASSERT_GE(node.size(), 18u);
  EXPECT_EQ(node[0], 18);
  EXPECT_EQ(node[1], 1);
  EXPECT_EQ(node[8] | node[9] << 8, 0x1209);
  EXPECT_EQ(node[17], 3);
  size_t pos = 18;
  for (int c = 1; c <= 3; ++c) {
    SCOPED_TRACE(c);
    ASSERT_LE(pos + 9, node.size());
    EXPECT_EQ(node[pos + 1], 2);
    EXPECT_EQ(node[pos + 5], c);  // bConfigurationValue
    size_t total = node[pos + 2] | node[pos + 3] << 8;
    EXPECT_EQ(total, 9u + 9u + 7u + 7u);  // configuration, interface, two endpoints
    pos += total;
  }
  EXPECT_EQ(pos, node.size());
  EXPECT_EQ(host_->closeDevice(fd), 0);
}

TEST_F(SimUsbEnumeration, KernelKeepsAtMostEightConfigurations) {
  ASSERT_EQ(host_->plug("1-1", "hid configs=12"), 1);
  EXPECT_EQ(text(*host_, sysfsDevice("1-1"), "bNumConfigurations"), "8\n");
  int fd = openPlugged("1-1");
  ASSERT_GE(fd, 0);
  std::vector<uint8_t> node = readNode(*host_, fd);
  ASSERT_GE(node.size(), 18u);
  EXPECT_EQ(node[17], 8);
  int configs = 0;
  for (size_t pos = 18; pos + 4 <= node.size(); pos += node[pos + 2] | node[pos + 3] << 8) ++configs;
  EXPECT_EQ(configs, 8);
  // The device itself still says 12.
  uint8_t device[18] = {};
  EXPECT_EQ(host_->control(fd, 0x80, 6, 0x0100, 0, device, sizeof device, 1000), 18);
  EXPECT_EQ(device[17], 12);
  host_->closeDevice(fd);
}

TEST_F(SimUsbEnumeration, StandardGetDescriptorRequests) {
  ASSERT_EQ(host_->plug("1-1", "storage size=64K serial=AB_12"), 1);
  int fd = openPlugged("1-1");
  ASSERT_GE(fd, 0);
  uint8_t buffer[255];
  struct Case {
    uint16_t value;
    uint16_t index;
    uint16_t length;
    int result;
  } cases[] = {
      {0x0100, 0, 18, 18},         // device
      {0x0100, 0, 8, 8},           // first 8 bytes only
      {0x0200, 0, 9, 9},           // configuration header
      {0x0200, 0, 255, 32},        // whole configuration
      {0x0201, 0, 9, -EPIPE},      // no second configuration
      {0x0300, 0, 255, 4},         // language ids
      {0x0303, 0x0409, 255, 12},   // serial "AB 12"
      {0x0303, 0x0407, 255, -EPIPE},
      {0x0309, 0x0409, 255, -EPIPE},  // no such string
      {0x0600, 0, 10, -EPIPE},        // no device qualifier
  };
  for (const Case& c : cases) {
    std::memset(buffer, 0xee, sizeof buffer);
    EXPECT_EQ(host_->control(fd, 0x80, 6, c.value, c.index, buffer, c.length, 1000), c.result)
        << std::hex << c.value;
  }
  ASSERT_EQ(host_->control(fd, 0x80, 6, 0x0300, 0, buffer, 4, 1000), 4);
  EXPECT_EQ(buffer[2] | buffer[3] << 8, 0x0409);
  ASSERT_EQ(host_->control(fd, 0x80, 6, 0x0303, 0x0409, buffer, 255, 1000), 12);
  const uint8_t serial[] = {12, 3, 'A', 0, 'B', 0, ' ', 0, '1', 0, '2', 0};
  EXPECT_EQ(std::memcmp(buffer, serial, sizeof serial), 0);
  host_->closeDevice(fd);
}

TEST_F(SimUsbEnumeration, NonLatinStringsKeepTheirUtf16Units) {
  ASSERT_EQ(host_->plug("1-1", "hid product=K\xc3\xa9y\xe2\x82\xac"), 1);
  int fd = openPlugged("1-1");
  ASSERT_GE(fd, 0);
  uint8_t buffer[64];
  ASSERT_EQ(host_->control(fd, 0x80, 6, 0x0302, 0x0409, buffer, sizeof buffer, 1000), 10);
  const uint8_t expected[] = {10, 3, 'K', 0, 0xe9, 0, 'y', 0, 0xac, 0x20};
  EXPECT_EQ(std::memcmp(buffer, expected, sizeof expected), 0);
  host_->closeDevice(fd);
}

TEST_F(SimUsbEnumeration, ConfigurationAndInterfaceRequests) {
  ASSERT_EQ(host_->plug("1-1", "loopback configs=2"), 1);
  int fd = openPlugged("1-1");
  ASSERT_GE(fd, 0);
  const std::string dir = sysfsDevice("1-1");
  EXPECT_EQ(text(*host_, dir, "bConfigurationValue"), "1\n");
  EXPECT_EQ(host_->claimInterface(fd, 0), 0);
  EXPECT_EQ(host_->claimInterface(fd, 0), 0);  // again: still ours
  EXPECT_EQ(host_->claimInterface(fd, 1), -ENOENT);
  // usbfs refuses a new configuration while an interface is claimed.
  EXPECT_EQ(host_->setConfiguration(fd, 2), -EBUSY);
  EXPECT_EQ(host_->releaseInterface(fd, 0), 0);
  EXPECT_EQ(host_->releaseInterface(fd, 0), -EINVAL);
  EXPECT_EQ(host_->setConfiguration(fd, 3), -EINVAL);
  EXPECT_EQ(host_->setConfiguration(fd, 2), 0);
  EXPECT_EQ(text(*host_, dir, "bConfigurationValue"), "2\n");
  EXPECT_TRUE(host_->hasSysfsAttribute(dir + ":2.0", "bInterfaceClass"));
  EXPECT_FALSE(host_->hasSysfsAttribute(dir + ":1.0", "bInterfaceClass"));
  uint8_t value = 0;
  EXPECT_EQ(host_->control(fd, 0x80, 8, 0, 0, &value, 1, 1000), 1);
  EXPECT_EQ(value, 2);
  EXPECT_EQ(host_->setInterface(fd, 0, 0), 0);
  EXPECT_EQ(host_->setInterface(fd, 0, 1), -EINVAL);
  EXPECT_EQ(host_->setInterface(fd, 4, 0), -ENOENT);
  EXPECT_EQ(host_->releaseInterface(fd, 0), 0);  // SETINTERFACE claimed it
  EXPECT_EQ(host_->setConfiguration(fd, -1), 0);
  EXPECT_EQ(host_->claimInterface(fd, 0), -ENOENT);
  EXPECT_FALSE(host_->hasSysfsAttribute(dir + ":2.0", "bInterfaceClass"));
  char data[4];
  usbdevfs_urb urb = makeUrb(USBDEVFS_URB_TYPE_BULK, 0x81, data, sizeof data);
  EXPECT_EQ(host_->submitUrb(fd, &urb), -ESRCH);
  host_->closeDevice(fd);
}

TEST_F(SimUsbEnumeration, ClaimsBelongToOneHandleAndGoWithIt) {
  ASSERT_EQ(host_->plug("1-1", "hid"), 1);
  int a = openPlugged("1-1");
  int b = openPlugged("1-1");
  ASSERT_GE(a, 0);
  ASSERT_GE(b, 0);
  EXPECT_EQ(host_->claimInterface(a, 0), 0);
  EXPECT_EQ(host_->claimInterface(b, 0), -EBUSY);
  EXPECT_EQ(host_->releaseInterface(b, 0), -EINVAL);
  uint8_t report[64];
  // Interface-directed control requests need the interface as well.
  EXPECT_EQ(host_->control(b, 0x81, 6, 0x2200, 0, report, sizeof report, 1000), -EBUSY);
  EXPECT_EQ(host_->control(a, 0x81, 6, 0x2200, 0, report, sizeof report, 1000), 63);
  EXPECT_EQ(host_->closeDevice(a), 0);
  EXPECT_EQ(host_->claimInterface(b, 0), 0);
  EXPECT_EQ(host_->openHandleCount(), 1);
  host_->closeDevice(b);
  EXPECT_EQ(host_->openHandleCount(), 0);
}

TEST_F(SimUsbEnumeration, ReadOnlyHandlesOnlyRead) {
  ASSERT_EQ(host_->plug("1-1", "hid"), 1);
  int fd = openPlugged("1-1", O_RDONLY);
  ASSERT_GE(fd, 0);
  uint8_t buffer[18];
  EXPECT_EQ(host_->readDevice(fd, buffer, sizeof buffer), 18);
  EXPECT_EQ(host_->control(fd, 0x80, 6, 0x0100, 0, buffer, sizeof buffer, 1000), -EPERM);
  EXPECT_EQ(host_->claimInterface(fd, 0), -EPERM);
  usbdevfs_urb* reaped = nullptr;
  EXPECT_EQ(host_->reapUrbNoDelay(fd, &reaped), -EPERM);
  host_->closeDevice(fd);
}

TEST_F(SimUsbEnumeration, OpeningNeedsTheNodeAndAPresentDevice) {
  ASSERT_EQ(host_->plug("1-1", "hid"), 1);
  int bus = 0, dev = 0;
  ASSERT_TRUE(host_->deviceNumbers("1-1", &bus, &dev));
  EXPECT_EQ(host_->openDevice(bus, dev, O_RDWR), -ENOENT);  // no node made yet
  mode_t old = ::umask(077);
  EXPECT_EQ(host_->makeDeviceNode(bus, dev, 189, dev - 1), 1);
  ::umask(old);
  struct stat st;
  ASSERT_EQ(::stat(UsbHost::deviceNodePath(bus, dev).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0777u);
  EXPECT_EQ(host_->makeDeviceNode(bus + 1, 9, 189, 200), 1);
  EXPECT_EQ(host_->openDevice(bus + 1, 9, O_RDWR), -ENODEV);  // a stale node
  int fd = host_->openDevice(bus, dev, O_RDWR);
  EXPECT_GE(fd, 0);
  host_->closeDevice(fd);
}

}  // namespace
