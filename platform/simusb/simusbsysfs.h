// The sysfs entries of the simulated devices, written as ordinary files
// into a devices directory (mapPath("/sys/bus/usb/devices") when the
// simulator starts) in the formats the kernel uses ("%04x\n" for ids,
// "%02x\n" for classes, " 2.00\n" for the version, ...).
#ifndef PLATFORM_SIMUSB_SIMUSBSYSFS_H
#define PLATFORM_SIMUSB_SIMUSBSYSFS_H

#include <string>

class SimUsbDevice;

// Makes the directories of path, each with its parents (as mkdir -p;
// results ignored: a later open or bind reports what is missing).
void makeSimUsbDirectories(const std::string& path);
// The same for the directory that holds the file at path.
void makeSimUsbParentDirectories(const std::string& path);

// Removes every entry of the devices directory (a tree an earlier run left)
// and makes the directory when it is missing. false when it cannot be made.
bool resetSimUsbSysfs(const std::string& dir);

// The root hub of a bus: "usb<bus>" and its interface "<bus>-0:1.0".
void writeSimUsbRootHub(const std::string& dir, int busnum);
void removeSimUsbRootHub(const std::string& dir, int busnum);

// The directory of a device ("1-1.2") and the interface directories of its
// active configuration ("1-1.2:1.0", ...).
void writeSimUsbDevice(const std::string& dir, const std::string& name, int busnum, int devnum, const SimUsbDevice& device);
// Writes the interface directories and bConfigurationValue again after the
// configuration changed.
void writeSimUsbInterfaces(const std::string& dir, const std::string& name, const SimUsbDevice& device);
// Removes the device directory and its interface directories.
void removeSimUsbDevice(const std::string& dir, const std::string& name);

#endif
