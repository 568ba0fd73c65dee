// Reading a device's descriptors once, when it is entered in the table.
#include <fcntl.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "platform/usb/usbhost.h"
#include "usbserver/devices/usbdevicerow.h"

namespace {

// The node holds the device descriptor and at most 32 configurations of at
// most 64 KiB each; anything beyond is not read.
constexpr size_t kNodeLimit = USB_DEVICE_DESCRIPTOR_SIZE + size_t{USB_MAX_CONFIGURATIONS} * 65535;
constexpr int kStringScratch = 255;
constexpr uint8_t kOsStringIndex = 0xEE;

// Everything the node yields; false on a read error.
bool readWholeNode(int handle, std::vector<uint8_t>& bytes) {
  size_t used = 0;
  bytes.resize(4096);
  for (;;) {
    if (used == bytes.size()) {
      if (bytes.size() >= kNodeLimit) break;
      bytes.resize(std::min(bytes.size() * 2, kNodeLimit));
    }
    const int n = usbHost().readDevice(handle, bytes.data() + used, bytes.size() - used);
    if (n < 0) return false;
    if (n == 0) break;
    used += static_cast<size_t>(n);
  }
  bytes.resize(used);
  return true;
}

void readIndexedString(void* context, uint8_t index) {
  char scratch[kStringScratch];
  static_cast<UsbDeviceRow*>(context)->readStringAscii(index, scratch, sizeof scratch);
}

}  // namespace

int UsbDeviceRow::probe() {
  if (usbfsHandle < 0 && !openDevice(O_RDWR)) return 0;
  const int ok = fetchDescriptors();
  if (ok) fetchNameStrings();
  closeDevice();
  return ok;
}

int UsbDeviceRow::fetchDescriptors() {
  if (usbfsHandle < 0) return 0;
  std::vector<uint8_t> bytes;
  if (!readWholeNode(usbfsHandle, bytes)) return 0;
  UsbDescriptorReader reader(bytes.data(), bytes.size());
  // The configuration strings are read as the walk meets them; they only
  // fill the string cache.
  return walkUsbDescriptors(reader, descriptors, readIndexedString, this);
}

void UsbDeviceRow::fetchNameStrings() {
  char scratch[kStringScratch];
  const uint8_t* d = descriptors.device;
  for (int field : {14, 15, 16})  // iManufacturer, iProduct, iSerialNumber
    if (d[field]) readStringAscii(d[field], scratch, sizeof scratch);
  if (versionMajor > 1 && !mustSkipOsStringDescriptor())
    readStringAscii(kOsStringIndex, scratch, sizeof scratch);
}
