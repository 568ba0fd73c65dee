// The USB host of a Linux kernel: sysfs files and the usbfs ioctls on the
// device nodes the program makes itself.
#ifndef PLATFORM_USB_USBHOST_LINUX_H
#define PLATFORM_USB_USBHOST_LINUX_H

#include <cstddef>
#include <map>
#include <mutex>

#include "platform/usb/usbhost.h"

class LinuxUsbHost : public UsbHost {
 public:
  // Transfer buffers mapped from a handle (see usbhost.h).
  int mapTransferBuffer(int handle, size_t size, void** buffer) override;
  int unmapTransferBuffer(int handle, void* buffer, size_t size) override;

  int prepareUsbDeviceFilesystem() override;
  int makeDeviceNode(int busnum, int devnum, int major, int minor) override;
  int openDevice(int busnum, int devnum, int flags) override;
  int closeDevice(int handle) override;
  int revokeHandle(int handle) override;
  int readDevice(int handle, void* buffer, size_t size) override;

  int control(int handle, uint8_t requestType, uint8_t request, uint16_t value, uint16_t index, void* data,
              uint16_t length, unsigned timeoutMs) override;
  int claimInterface(int handle, unsigned interface) override;
  int releaseInterface(int handle, unsigned interface) override;
  int setInterface(int handle, unsigned interface, unsigned alternate) override;
  int setConfiguration(int handle, int value) override;
  int clearHalt(int handle, unsigned endpoint) override;
  int resetEndpoint(int handle, unsigned endpoint) override;
  int reset(int handle) override;
  int hardReset(int handle) override;
  int submitUrb(int handle, usbdevfs_urb* urb) override;
  int discardUrb(int handle, usbdevfs_urb* urb) override;
  int reapUrbNoDelay(int handle, usbdevfs_urb** urb) override;

 private:
  // Under mappingMutex_: the handle's mappings are swapped for private
  // memory (they would keep the usbfs file open, its claims and URBs
  // with it, and point at memory the device may be given again).
  void detachMappings(int handle);

  // Held from a mapping's mmap to its record, and from the swap of a
  // handle's mappings to the replacement of its descriptor, so no mapping
  // of a handle being revoked or closed is missed.
  std::mutex mappingMutex_;
  // handle -> (address -> mapped length) of the device's memory.
  std::map<int, std::map<void*, size_t>> mappings_;
  // Private memory left in place of the mappings of revoked or closed
  // handles, until it is given back.
  std::map<void*, size_t> detached_;
};

#endif
