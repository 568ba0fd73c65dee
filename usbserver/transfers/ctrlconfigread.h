// GET_DESCRIPTOR(configuration) answered from a device's usbfs node, which
// reads as the device descriptor followed by every configuration's
// descriptors, each configuration wTotalLength bytes long.
#ifndef USBSERVER_TRANSFERS_CTRLCONFIGREAD_H
#define USBSERVER_TRANSFERS_CTRLCONFIGREAD_H

#include <cstdint>

// Copies the first bytes of configuration index (0-based) as read from the
// node behind handle: at most length bytes and at most its wTotalLength.
// The count, or -1 when the node cannot be read or the configuration is
// missing or malformed (wTotalLength below 9, header cut short).
int readNodeConfiguration(int32_t handle, int index, uint8_t* out, int length);

#endif
