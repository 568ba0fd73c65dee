// Fixtures of the USB host tests: a private data root per test and a
// simulated host on it, with small functions for handles and reaping.
#ifndef TESTS_PLATFORM_SUPPORT_USBHOSTTEST_H
#define TESTS_PLATFORM_SUPPORT_USBHOSTTEST_H

#include <gtest/gtest.h>
#include <linux/usbdevice_fs.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/simusb/usbhost_sim.h"

class UsbDataRootTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  // Writes text into the file at the fixed path (under the data root).
  void writeFile(const std::string& fixedPath, const std::string& text);
  // Removes a directory tree (of a data root the test made).
  static void removeTree(const std::string& path);
  std::string root_;
};

class SimUsbHostTest : public UsbDataRootTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Plugs a hub at 1-1 and a HID, storage and loopback device behind it.
  void plugStandardTree();
  // Makes the node of a plugged device and opens it; the handle or -errno.
  int openPlugged(const std::string& devpath, int flags = 02 /* O_RDWR */);
  // Waits (bounded) until the handle is writable, then reaps one URB.
  // 0 and the URB, or the reap's error, or -ETIME when nothing came.
  int reapWithin(int handle, usbdevfs_urb** urb, int timeoutMs = 5000);
  // One bulk or interrupt URB, filled in.
  static usbdevfs_urb makeUrb(unsigned char type, unsigned char endpoint, void* buffer, int length);
  // Submits and reaps one transfer; the status (or a submit/reap error)
  // and the actual length through actual.
  int transfer(int handle, unsigned char type, unsigned char endpoint, void* buffer, int length, int* actual);

  std::unique_ptr<SimUsbHost> host_;
};

// Events of the descriptor now, as epoll reports them for the mask.
uint32_t epollEventsNow(int fd, uint32_t mask);

// The directory of a device in the (mapped) sysfs tree.
std::string sysfsDevice(const std::string& name);

#endif
