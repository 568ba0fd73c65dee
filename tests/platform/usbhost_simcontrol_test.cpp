// Driving the simulated host from outside: the device file read at start
// and the control socket, also while other threads use the devices.
#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <thread>

#include "platform/support/usbhosttest.h"
#include "runtime/file/paths.h"

#include "support/control_client.h"

namespace {

using SimUsbControl = SimUsbHostTest;

TEST_F(SimUsbControl, DeviceFileIsLoaded) {
  writeFile("/etc/simusb.conf",
            "# the standard tree\n"
            "1-1 hub 4\n"
            "   1-1.2 hid\n"
            "1-1.3 storage size=1M\n"
            "\n"
            "1-1.4 loopback vid=04b4 pid=1235\n"
            "1-1.9 hid\n"          // no such hub port: skipped
            "1-2 toaster\n");      // unknown kind: skipped
  EXPECT_EQ(host_->loadDeviceFile(), 4);
  char vendor[8] = {};
  EXPECT_EQ(host_->readSysfsAttribute(sysfsDevice("1-1.4"), "idVendor", vendor, 5), 5);
  EXPECT_STREQ(vendor, "04b4\n");
  EXPECT_FALSE(host_->deviceNumbers("1-1.9", nullptr, nullptr));
  EXPECT_EQ(host_->loadDeviceFile("/etc/missing.conf"), -1);
}

TEST_F(SimUsbControl, SocketPlugsUnplugsAndInjectsFaults) {
  ASSERT_EQ(host_->startControl(), 1);
  ControlClient client(mapPath("/var/simusb.ctl"));
  ASSERT_TRUE(client.connected());
  EXPECT_EQ(client.ask("plug 1-1 hub 4"), "ok\n");
  EXPECT_EQ(client.ask("plug 1-1.2 hid"), "ok\n");
  EXPECT_EQ(client.ask("plug 1-1.4 loopback delay=1"), "ok\n");
  EXPECT_TRUE(host_->hasSysfsAttribute(sysfsDevice("1-1.2"), "devnum"));

  int bus = 0, dev2 = 0, dev4 = 0;
  ASSERT_TRUE(host_->deviceNumbers("1-1.2", &bus, &dev2));
  ASSERT_TRUE(host_->deviceNumbers("1-1.4", &bus, &dev4));
  std::string list = client.ask("list");
  EXPECT_NE(list.find("1-1 hub 1 "), std::string::npos) << list;
  EXPECT_NE(list.find("1-1.2 hid 1 " + std::to_string(dev2) + "\n"), std::string::npos) << list;
  EXPECT_NE(list.find("1-1.4 loopback 1 " + std::to_string(dev4) + "\n"), std::string::npos) << list;

  // A report from outside completes the interrupt read.
  int fd = openPlugged("1-1.2");
  ASSERT_GE(fd, 0);
  uint8_t report[8] = {};
  usbdevfs_urb urb = makeUrb(USBDEVFS_URB_TYPE_INTERRUPT, 0x81, report, sizeof report);
  ASSERT_EQ(host_->submitUrb(fd, &urb), 0);
  EXPECT_EQ(client.ask("report 1-1.2 0000070000000000"), "ok\n");
  usbdevfs_urb* reaped = nullptr;
  ASSERT_EQ(reapWithin(fd, &reaped), 0);
  EXPECT_EQ(report[2], 7);

  EXPECT_EQ(client.ask("fault 1-1.2 stall 0x81"), "ok\n");
  int actual = 0;
  EXPECT_EQ(transfer(fd, USBDEVFS_URB_TYPE_INTERRUPT, 0x81, report, 8, &actual), -EPIPE);

  EXPECT_EQ(client.ask("unplug 1-1"), "ok\n");
  EXPECT_FALSE(host_->hasSysfsAttribute(sysfsDevice("1-1.2"), "devnum"));
  EXPECT_EQ(host_->reapUrbNoDelay(fd, &reaped), -ENODEV);
  host_->closeDevice(fd);

  struct Case {
    const char* line;
    const char* answer;
  } errors[] = {
      {"unplug 1-1", "error not plugged\n"},
      {"plug 1-5.1 hid", "error no hub at 1-5\n"},
      {"plug 1-5", "error missing kind\n"},
      {"report 1-5 00", "error not plugged\n"},
      {"fault 1-5 gone", "error not plugged\n"},
      {"dance", "error unknown command dance\n"},
  };
  for (const Case& c : errors) EXPECT_EQ(client.ask(c.line), c.answer) << c.line;
  EXPECT_EQ(client.ask("list"), "ok\n");
}

// Several threads at once: a reader and a writer on the loopback, reports
// made by the worker, and plugging and unplugging on the same hub. Run
// under the thread sanitizer as well.
TEST_F(SimUsbControl, DevicesServeWhileOthersComeAndGo) {
  ASSERT_EQ(host_->plug("1-1", "hub 4"), 1);
  ASSERT_EQ(host_->plug("1-1.1", "loopback"), 1);
  ASSERT_EQ(host_->plug("1-1.2", "hid interval=1"), 1);
  int loop = openPlugged("1-1.1");
  int hid = openPlugged("1-1.2");
  ASSERT_GE(loop, 0);
  ASSERT_GE(hid, 0);
  std::atomic<bool> done{false};
  std::atomic<int> failures{0};
  std::thread churn([&] {
    for (int i = 0; i < 40 && !done; ++i) {
      if (host_->plug("1-1.3", i % 2 ? "storage size=64K" : "hid") != 1) ++failures;
      int fd = openPlugged("1-1.3");
      if (fd < 0) ++failures;
      if (host_->unplug("1-1.3") != 1) ++failures;
      if (fd >= 0) host_->closeDevice(fd);
    }
  });
  std::thread reports([&] {
    uint8_t report[8];
    for (int i = 0; i < 20; ++i) {
      int actual = 0;
      if (transfer(hid, USBDEVFS_URB_TYPE_INTERRUPT, 0x81, report, 8, &actual) != 0) ++failures;
    }
  });
  for (int i = 0; i < 200; ++i) {
    uint8_t out[300], in[300];
    for (size_t k = 0; k < sizeof out; ++k) out[k] = static_cast<uint8_t>(i + k);
    int actual = 0;
    ASSERT_EQ(transfer(loop, USBDEVFS_URB_TYPE_BULK, 0x01, out, sizeof out, &actual), 0);
    ASSERT_EQ(transfer(loop, USBDEVFS_URB_TYPE_BULK, 0x81, in, sizeof in, &actual), 0);
    ASSERT_EQ(actual, 300);
    ASSERT_EQ(std::memcmp(in, out, sizeof in), 0);
  }
  done = true;
  churn.join();
  reports.join();
  EXPECT_EQ(failures.load(), 0);
  host_->closeDevice(loop);
  host_->closeDevice(hid);
}

}  // namespace
