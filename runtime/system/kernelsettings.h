// Kernel tunables written through /proc. Each returns 1, or 0 when the
// file cannot be written.
#ifndef RUNTIME_SYSTEM_KERNELSETTINGS_H
#define RUNTIME_SYSTEM_KERNELSETTINGS_H

// "/proc/sys/vm/swappiness" := value mod 100.
int setSwappiness(int value);
// "/proc/sys/net/ipv4/conf/default/force_igmp_version" := value.
int setForceIgmpVersion(int value);
// "/proc/sys/vm/min_free_kbytes" := value.
int setMinFreeKbytes(int value);
// Asks the SCSI layer to probe host 0, channel 0, id 0, lun 0.
int rescanScsiBus();

#endif
