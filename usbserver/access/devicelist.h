// The device list of DEVICE_LIST: one 22-byte record per device a client
// may use. The handler itself is declared in accesscontrol.h.
#ifndef USBSERVER_ACCESS_DEVICELIST_H
#define USBSERVER_ACCESS_DEVICELIST_H

#include <cstdint>

// The record of a present row: [row, port, speed, 0 (available), device
// descriptor with bcdUSB, idVendor, idProduct and bcdDevice big-endian].
void buildUsbDeviceRecord(int row, uint8_t out[22]);

#endif
