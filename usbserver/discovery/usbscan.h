// Discovery: the scan of sysfs that enters plugged devices in the table and
// marks unplugged ones removed.
#ifndef USBSERVER_DISCOVERY_USBSCAN_H
#define USBSERVER_DISCOVERY_USBSCAN_H

class UsbDeviceRow;

// Ticks a removed row keeps its device's identity before it is freed.
constexpr int USB_REMOVED_QUARANTINE_CS = 100;

// One pass over "/sys/bus/usb/devices": the number of rows added. The
// caller holds the rescan lock (rescanUsbDevices does).
int scanSysfsUsbDevices();
// The full rescan, one at a time: frees old removed rows, scans, marks the
// devices not found again removed. The number added, or 0 when the caller
// had to wait for another thread's rescan (which has just run).
int rescanUsbDevices();
// Enters a scan candidate: 1 added, 0 already known (or quarantined),
// -1 no free row or its probe failed. The row becomes visible as PRESENT
// only once it is complete.
int addUsbDevice(UsbDeviceRow& candidate);

#endif
