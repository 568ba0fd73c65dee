// Physical USB port of a device from its sysfs bus number and devpath.
#ifndef USBSERVER_DISCOVERY_USBPORTMAP_H
#define USBSERVER_DISCOVERY_USBPORTMAP_H

#include <cstdint>

// The port (1 .. 20 usable, 0 = in the table but never offered) that the
// model productId gives to the device at busnum / devpath ("1", "1.2",
// "1.2.3"); negative when the device sits on no usable port.
int mapDevpathToUsbPort(uint32_t productId, int busnum, const char* devpath);

#endif
