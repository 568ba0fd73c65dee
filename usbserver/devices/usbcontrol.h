// One control transfer on a usbfs handle.
#ifndef USBSERVER_DEVICES_USBCONTROL_H
#define USBSERVER_DEVICES_USBCONTROL_H

#include <cstdint>

// Clears length bytes of data, then runs the transfer (time-out in ms):
// the bytes transferred, or a negative errno (errno is set as well); -1
// for a negative handle.
int usbControlTransfer(int32_t handle, uint8_t requestType, uint8_t request, uint16_t value,
                       uint16_t index, uint8_t* data, uint16_t length, unsigned timeoutMs);

#endif
