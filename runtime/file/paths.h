// Fixed appliance paths and the data root.
//
// Every fixed path of the appliance ("/etc/params.dat", "/flash/...",
// "/dev/gpio", "/sys/bus/usb/devices", ...) is opened through mapPath.
// On the appliance the root is "/" and paths come back unchanged. On a
// development host and in tests the root is a data directory, taken once
// from the environment variable APPLIANCE_ROOT or set by a test, so
// nothing touches the host's own /etc, /var, /flash or /proc/sys.
//
// The process's own /proc entries (/proc/self/..., /proc/<pid>/...,
// /proc/stat, /proc/meminfo, ...) always stay real; other /proc files
// (/proc/sys/..., the board's /proc/product_params, /proc/scsi/scsi)
// are mapped.
#ifndef RUNTIME_FILE_PATHS_H
#define RUNTIME_FILE_PATHS_H

#include <string>

// The name of the one environment variable that moves the data root.
extern const char kDataRootEnv[];

// The mapped form of an absolute appliance path. Relative paths are
// returned unchanged.
std::string mapPath(const char* fixedPath);
inline std::string mapPath(const std::string& fixedPath) { return mapPath(fixedPath.c_str()); }

// The current data root: "" means the real root "/".
std::string dataRoot();

// Sets the data root; "" or "/" selects the real root. Meant for start-up
// and unit tests; not synchronised against concurrent mapPath callers.
void setDataRoot(const char* root);

// True for /proc paths that describe this process or the whole system
// and are therefore never mapped.
bool isRealProcPath(const char* path);

#endif
