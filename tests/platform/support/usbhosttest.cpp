#include "platform/support/usbhosttest.h"

#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/epoll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/usb/usbhost.h"
#include "runtime/file/paths.h"

namespace {

int removeEntry(const char* path, const struct stat*, int, struct FTW*) {
  ::remove(path);
  return 0;
}

}  // namespace

void UsbDataRootTest::SetUp() {
  char pattern[] = "/tmp/usbhost-test.XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  root_ = pattern;
  setDataRoot(root_.c_str());
}

void UsbDataRootTest::TearDown() {
  setUsbHostForTesting(nullptr);
  setDataRoot("");
  removeTree(root_);
}

void UsbDataRootTest::removeTree(const std::string& path) { ::nftw(path.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS); }

void UsbDataRootTest::writeFile(const std::string& fixedPath, const std::string& text) {
  const std::string path = mapPath(fixedPath);
  for (size_t pos = root_.size(); (pos = path.find('/', pos + 1)) != std::string::npos;)
    ::mkdir(path.substr(0, pos).c_str(), 0755);
  FILE* f = std::fopen(path.c_str(), "w");
  ASSERT_NE(f, nullptr) << path;
  std::fputs(text.c_str(), f);
  std::fclose(f);
}

void SimUsbHostTest::SetUp() {
  UsbDataRootTest::SetUp();
  host_ = std::make_unique<SimUsbHost>();
  ASSERT_EQ(host_->prepareUsbDeviceFilesystem(), 1);
}

void SimUsbHostTest::TearDown() {
  host_.reset();
  UsbDataRootTest::TearDown();
}

void SimUsbHostTest::plugStandardTree() {
  ASSERT_EQ(host_->plug("1-1", "hub 4"), 1);
  ASSERT_EQ(host_->plug("1-1.2", "hid"), 1);
  ASSERT_EQ(host_->plug("1-1.3", "storage size=1M"), 1);
  ASSERT_EQ(host_->plug("1-1.4", "loopback"), 1);
}

int SimUsbHostTest::openPlugged(const std::string& devpath, int flags) {
  int bus = 0, dev = 0;
  if (!host_->deviceNumbers(devpath, &bus, &dev)) return -ENODEV;
  if (host_->makeDeviceNode(bus, dev, 189, (bus - 1) * 128 + dev - 1) != 1) return -ENOENT;
  return host_->openDevice(bus, dev, flags);
}

int SimUsbHostTest::reapWithin(int handle, usbdevfs_urb** urb, int timeoutMs) {
  pollfd p{handle, POLLOUT, 0};
  if (::poll(&p, 1, timeoutMs) <= 0) return -ETIME;
  return host_->reapUrbNoDelay(handle, urb);
}

usbdevfs_urb SimUsbHostTest::makeUrb(unsigned char type, unsigned char endpoint, void* buffer, int length) {
  usbdevfs_urb urb{};
  urb.type = type;
  urb.endpoint = endpoint;
  urb.buffer = buffer;
  urb.buffer_length = length;
  return urb;
}

int SimUsbHostTest::transfer(int handle, unsigned char type, unsigned char endpoint, void* buffer, int length,
                             int* actual) {
  usbdevfs_urb urb = makeUrb(type, endpoint, buffer, length);
  int rc = host_->submitUrb(handle, &urb);
  if (rc < 0) return rc;
  usbdevfs_urb* reaped = nullptr;
  rc = reapWithin(handle, &reaped);
  if (rc < 0) return rc;
  if (reaped != &urb) return -EFAULT;
  if (actual) *actual = urb.actual_length;
  return urb.status;
}

uint32_t epollEventsNow(int fd, uint32_t mask) {
  int ep = ::epoll_create1(EPOLL_CLOEXEC);
  epoll_event e{};
  e.events = mask;
  ::epoll_ctl(ep, EPOLL_CTL_ADD, fd, &e);
  epoll_event out{};
  int n = ::epoll_wait(ep, &out, 1, 0);
  ::close(ep);
  return n > 0 ? out.events : 0;
}

std::string sysfsDevice(const std::string& name) { return UsbHost::sysfsDevicesDir() + "/" + name; }
