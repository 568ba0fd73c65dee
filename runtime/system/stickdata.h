// The data directory of a USB memory stick.
#ifndef RUNTIME_SYSTEM_STICKDATA_H
#define RUNTIME_SYSTEM_STICKDATA_H

// Mounts the first of "/dev/sda1", "/dev/sda2", "/dev/sdb1", "/dev/sdb2"
// that mounts as vfat on "/mnt" with synchronous writes; then deletes the
// empty files in "/mnt/data", or creates that directory. 1, or 0 when no
// device mounts.
int mountStickData();

#endif
