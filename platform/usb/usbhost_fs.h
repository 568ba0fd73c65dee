// File-system steps shared by the USB hosts: the usbfs directories and the
// device nodes, made with mode 0777 whatever the process umask is.
#ifndef PLATFORM_USB_USBHOST_FS_H
#define PLATFORM_USB_USBHOST_FS_H

#include <string>

// Makes the directory when it is missing and then sets mode 0777 with
// chmod. true when the directory exists afterwards.
bool ensureOpenDirectory(const std::string& path);

// Makes mapPath("/dev/bus") and mapPath("/dev/bus/usb") unless the latter
// exists already. 1 on success, 0 on failure.
int prepareUsbNodeDirectories();

// Makes the bus directory of the node (mode 0777) when it is missing.
bool ensureUsbBusDirectory(int busnum);

#endif
