// Attaching files to loop devices.
#ifndef RUNTIME_SYSTEM_LOOPDEV_H
#define RUNTIME_SYSTEM_LOOPDEV_H

#include <cstdint>

// Binds the file to the loop device, starting at offset bytes into the
// file; the device carries the file name (at most 63 characters). When the
// status cannot be set the device is released again. 1/0.
int attachLoopDevice(const char* loopDevice, const char* file, int64_t offset);

// Releases the loop device. 1/0.
int detachLoopDevice(const char* loopDevice);

#endif
