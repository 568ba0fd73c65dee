#include "usbserver/discovery/usbsysfs.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "params/identity/productparams.h"
#include "platform/usb/usbhost.h"
#include "usbserver/devices/usbdevicerow.h"
#include "usbserver/devices/usbquirks.h"
#include "usbserver/discovery/usbportmap.h"

namespace {

constexpr int kAttributeSize = 64;  // bytes read of any attribute

}  // namespace

int readSysfsNumber(int32_t* out, const std::string& dir, const char* name, int hex) {
  char text[kAttributeSize + 1];
  const int n = usbHost().readSysfsAttribute(dir, name, text, kAttributeSize);
  if (n == -ENOENT) {
    *out = 0;
    return 1;
  }
  if (n < 0) return 1;
  int len = n;
  if (len > 1 && text[len - 1] == '\n') --len;
  text[len] = '\0';
  *out = static_cast<int32_t>(std::strtol(text, nullptr, hex ? 16 : 10));
  return 1;
}

void readSysfsText(const std::string& dir, const char* name, char* out) {
  out[0] = '\0';
  char text[kAttributeSize];
  const int n = usbHost().readSysfsAttribute(dir, name, text, sizeof text);
  if (n <= 0) return;
  int len = 0;
  while (len < n && len < USB_NAME_SIZE - 1 && text[len] != '\n' && text[len] != '\0') ++len;
  std::memcpy(out, text, static_cast<size_t>(len));
  out[len] = '\0';
}

void readSysfsDeviceClass(const std::string& dir, UsbDeviceRow& row) {
  readSysfsNumber(&row.deviceClass, dir, "bDeviceClass", 1);
  readSysfsNumber(&row.deviceSubClass, dir, "bDeviceSubClass", 1);
}

int readSysfsInterfaceClass(const std::string& dir) {
  char text[kAttributeSize + 1];
  const int n = usbHost().readSysfsAttribute(dir, "bInterfaceClass", text, kAttributeSize);
  if (n <= 0) return -1;
  text[n] = '\0';
  return static_cast<int>(std::strtol(text, nullptr, 10));
}

void parseUsbSpeed(UsbDeviceRow& row, const char* text) {
  if (text[0] && text[1] == '.') {
    row.speed = USB_SPEED_LOW;
    return;
  }
  switch (text[0]) {
    case '1': row.speed = USB_SPEED_FULL; break;
    case '4': row.speed = USB_SPEED_HIGH; break;
    case '5': row.speed = USB_SPEED_SUPER; break;
    default: row.speed = USB_SPEED_FULL; break;
  }
}

void hashUsbDevpath(const char* devpath, int32_t* level, int32_t* hash) {
  int32_t lv = 1;
  uint32_t h = 0;  // unsigned: the shifts may run past the sign bit
  for (int i = 0; i < kAttributeSize && devpath[i]; ++i) {
    if (devpath[i] == '.') {
      ++lv;
      h <<= 4;
    } else {
      h ^= static_cast<uint32_t>(std::strtol(devpath + i, nullptr, 10));
    }
  }
  *level = lv;
  *hash = static_cast<int32_t>(h);
}

int readSysfsUsbDevice(const std::string& dir, UsbDeviceRow& row) {
  int32_t devnum = row.devnum;
  readSysfsNumber(&row.busnum, dir, "busnum", 0);
  readSysfsNumber(&devnum, dir, "devnum", 0);
  row.devnum = devnum;
  readSysfsNumber(&row.maxPower, dir, "bMaxPower", 0);
  int32_t bcdDevice = 0;
  readSysfsNumber(&bcdDevice, dir, "bcdDevice", 1);
  readSysfsNumber(&row.idProduct, dir, "idProduct", 1);
  readSysfsNumber(&row.idVendor, dir, "idVendor", 1);
  if (isUsbQuirkDevice(UsbQuirk::NeverEntered,
                       usbVendorProductWord(static_cast<uint16_t>(row.idVendor),
                                            static_cast<uint16_t>(row.idProduct))))
    return 0;

  char dev[USB_NAME_SIZE], speed[USB_NAME_SIZE], version[USB_NAME_SIZE], devpath[USB_NAME_SIZE];
  readSysfsText(dir, "dev", dev);
  readSysfsText(dir, "product", row.product);
  readSysfsText(dir, "serial", row.serial);
  readSysfsText(dir, "speed", speed);
  readSysfsText(dir, "version", version);
  readSysfsText(dir, "devpath", devpath);
  readSysfsText(dir, "manufacturer", row.manufacturer);

  if (std::sscanf(dev, "%d:%d", &row.deviceMajor, &row.deviceMinor) != 2) return 0;
  parseUsbSpeed(row, speed);
  const int port = mapDevpathToUsbPort(productParams().product_id, row.busnum, devpath);
  if (port < 0) return 0;
  row.port = port;
  hashUsbDevpath(devpath, &row.level, &row.devpathHash);
  // A version that cannot be read counts as 0.00, not as the last device's.
  row.versionMajor = row.versionMinor = 0;
  std::sscanf(version, "%d.%02d", &row.versionMajor, &row.versionMinor);
  row.bcdDeviceHigh = bcdDevice >> 8;
  row.bcdDeviceLow = bcdDevice & 0xFF;
  return 1;
}
