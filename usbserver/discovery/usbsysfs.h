// Reading a USB device's sysfs attributes into a table row.
#ifndef USBSERVER_DISCOVERY_USBSYSFS_H
#define USBSERVER_DISCOVERY_USBSYSFS_H

#include <cstdint>
#include <string>

class UsbDeviceRow;

// Reads the number in "<dir>/<name>" (decimal, or hexadecimal when hex)
// into *out. A missing file stores 0; a file that exists but cannot be
// read leaves *out unchanged. Always 1.
int readSysfsNumber(int32_t* out, const std::string& dir, const char* name, int hex);
// The text of "<dir>/<name>" up to its first line end, at most 63
// characters; empty when it cannot be read. out holds 64 bytes.
void readSysfsText(const std::string& dir, const char* name, char* out);
// bDeviceClass and bDeviceSubClass of dir into the row.
void readSysfsDeviceClass(const std::string& dir, UsbDeviceRow& row);
// bInterfaceClass of an interface directory, -1 when unreadable.
int readSysfsInterfaceClass(const std::string& dir);
// The row's speed from the sysfs "speed" text ("1.5", "12", "480", "5000").
void parseUsbSpeed(UsbDeviceRow& row, const char* text);
// Level and hash of a devpath ("1.2.3" gives level 3).
void hashUsbDevpath(const char* devpath, int32_t* level, int32_t* hash);
// Fills the row's identity from the device directory: 1, or 0 when the
// device is not a candidate (a hub controller that is never entered, a
// malformed "dev", no usable port).
int readSysfsUsbDevice(const std::string& dir, UsbDeviceRow& row);

#endif
