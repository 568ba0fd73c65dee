// The file systems the USB service needs: sysfs and the usbfs node tree.
#ifndef USBSERVER_DISCOVERY_USBFILESYSTEM_H
#define USBSERVER_DISCOVERY_USBFILESYSTEM_H

// Mounts sysfs when missing and makes "/dev/bus/usb": 1 ok, 0 failure.
// The process file mode mask is left as it is.
int prepareUsbDeviceFilesystem();
// 0 when a line of "/proc/mounts" contains text, else -1.
int isMountedInProcMounts(const char* text);
// "usbfs" or "usbdevfs" when a line of "/proc/filesystems" names it, else null.
const char* findUsbfsFilesystemName();

#endif
