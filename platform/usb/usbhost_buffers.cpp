// A host without mappable transfer memory: the caller's ordinary buffers
// are used and copied.
#include <cerrno>

#include "platform/usb/usbhost.h"

int UsbHost::mapTransferBuffer(int, size_t, void** buffer) {
  if (buffer) *buffer = nullptr;
  return -ENODEV;
}

int UsbHost::unmapTransferBuffer(int, void*, size_t) { return -EINVAL; }
