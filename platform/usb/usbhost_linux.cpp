#include "platform/usb/usbhost_linux.h"

#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/usb/usbhost_fs.h"
#include "runtime/file/paths.h"

static_assert(kUsbHardResetRequest == _IO('U', 26), "hard reset request");

namespace {

// The ioctl result as the interface gives it: the value, or -errno.
int ioctlResult(int rc) { return rc < 0 ? -errno : rc; }

int ioctlWithNumber(int handle, unsigned long request, unsigned number) {
  unsigned int arg = number;
  return ioctlResult(::ioctl(handle, request, &arg));
}

// True when a line of this process's mount table names "/sys". The
// process's own /proc entry is real even under a data root; with the host's
// sysfs mounted nothing is mounted over a data root.
bool sysfsMounted() {
  FILE* f = std::fopen("/proc/self/mounts", "r");
  if (!f) return false;
  char line[512];
  bool found = false;
  while (!found && std::fgets(line, sizeof line, f)) found = std::strstr(line, "/sys") != nullptr;
  std::fclose(f);
  return found;
}

}  // namespace

int LinuxUsbHost::prepareUsbDeviceFilesystem() {
  if (!sysfsMounted()) {
    const std::string target = mapPath("/sys");
    if (::mount("none", target.c_str(), "sysfs", 0, nullptr) != 0) return 0;
  }
  return prepareUsbNodeDirectories();
}

int LinuxUsbHost::makeDeviceNode(int busnum, int devnum, int major, int minor) {
  if (!ensureUsbBusDirectory(busnum)) return 0;
  const std::string node = deviceNodePath(busnum, devnum);
  struct stat st;
  if (::stat(node.c_str(), &st) == 0) return 1;
  if (::mknod(node.c_str(), S_IFCHR | 0777, makedev(static_cast<unsigned>(major), static_cast<unsigned>(minor))) != 0)
    return 0;
  ::chmod(node.c_str(), 0777);
  return ::stat(node.c_str(), &st) == 0 ? 1 : 0;
}

int LinuxUsbHost::openDevice(int busnum, int devnum, int flags) {
  const std::string node = deviceNodePath(busnum, devnum);
  int fd = ::open(node.c_str(), flags | O_CLOEXEC);
  return fd < 0 ? -errno : fd;
}

int LinuxUsbHost::closeDevice(int handle) {
  if (handle < 0) return -EBADF;
  std::lock_guard<std::mutex> hold(mappingMutex_);
  detachMappings(handle);
  return ::close(handle) == 0 ? 0 : -errno;
}

int LinuxUsbHost::revokeHandle(int handle) {
  if (handle < 0) return -EBADF;
  std::lock_guard<std::mutex> hold(mappingMutex_);
  // A mapping holds the usbfs file as a descriptor does: it goes first.
  detachMappings(handle);
  // The usbfs file goes with its last descriptor: the kernel releases the
  // interfaces and kills the URBs. /dev/null keeps the number taken.
  const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null < 0) return -errno;
  const int rc = ::dup3(null, handle, O_CLOEXEC);
  const int saved = errno;
  ::close(null);
  return rc < 0 ? -saved : 0;
}

int LinuxUsbHost::readDevice(int handle, void* buffer, size_t size) {
  ssize_t n;
  do {
    n = ::read(handle, buffer, size);
  } while (n < 0 && errno == EINTR);
  return n < 0 ? -errno : static_cast<int>(n);
}

int LinuxUsbHost::control(int handle, uint8_t requestType, uint8_t request, uint16_t value, uint16_t index,
                          void* data, uint16_t length, unsigned timeoutMs) {
  usbdevfs_ctrltransfer ctrl{};
  ctrl.bRequestType = requestType;
  ctrl.bRequest = request;
  ctrl.wValue = value;
  ctrl.wIndex = index;
  ctrl.wLength = length;
  ctrl.timeout = timeoutMs;
  ctrl.data = data;
  return ioctlResult(::ioctl(handle, USBDEVFS_CONTROL, &ctrl));
}

int LinuxUsbHost::claimInterface(int handle, unsigned interface) {
  return ioctlWithNumber(handle, USBDEVFS_CLAIMINTERFACE, interface);
}

int LinuxUsbHost::releaseInterface(int handle, unsigned interface) {
  return ioctlWithNumber(handle, USBDEVFS_RELEASEINTERFACE, interface);
}

int LinuxUsbHost::setInterface(int handle, unsigned interface, unsigned alternate) {
  usbdevfs_setinterface arg{};
  arg.interface = interface;
  arg.altsetting = alternate;
  return ioctlResult(::ioctl(handle, USBDEVFS_SETINTERFACE, &arg));
}

int LinuxUsbHost::setConfiguration(int handle, int value) {
  // usbfs takes -1 (all bits set) as "unconfigured".
  return ioctlWithNumber(handle, USBDEVFS_SETCONFIGURATION, static_cast<unsigned>(value));
}

int LinuxUsbHost::clearHalt(int handle, unsigned endpoint) {
  return ioctlWithNumber(handle, USBDEVFS_CLEAR_HALT, endpoint);
}

int LinuxUsbHost::resetEndpoint(int handle, unsigned endpoint) {
  return ioctlWithNumber(handle, USBDEVFS_RESETEP, endpoint);
}

int LinuxUsbHost::reset(int handle) { return ioctlResult(::ioctl(handle, USBDEVFS_RESET, 0)); }

int LinuxUsbHost::hardReset(int handle) { return ioctlResult(::ioctl(handle, kUsbHardResetRequest, 0)); }

int LinuxUsbHost::submitUrb(int handle, usbdevfs_urb* urb) {
  return ioctlResult(::ioctl(handle, USBDEVFS_SUBMITURB, urb));
}

int LinuxUsbHost::discardUrb(int handle, usbdevfs_urb* urb) {
  return ioctlResult(::ioctl(handle, USBDEVFS_DISCARDURB, urb));
}

int LinuxUsbHost::reapUrbNoDelay(int handle, usbdevfs_urb** urb) {
  if (!urb) return -EFAULT;
  void* reaped = nullptr;
  int rc = ioctlResult(::ioctl(handle, USBDEVFS_REAPURBNDELAY, &reaped));
  if (rc >= 0) *urb = static_cast<usbdevfs_urb*>(reaped);
  return rc;
}
