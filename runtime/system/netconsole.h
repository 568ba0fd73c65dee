// The kernel's network console.
#ifndef RUNTIME_SYSTEM_NETCONSOLE_H
#define RUNTIME_SYSTEM_NETCONSOLE_H

// Where the console's messages go; the caller takes the values from the
// active interface and the netcon_* parameters.
struct NetconsoleTarget {
  const char* deviceName;  // interface name
  const char* remoteIp;
  const char* localIp;
  const char* remotePort;
  const char* remoteMac;
};

// Configures and enables "/sys/kernel/config/netconsole/target1", mounting
// configfs and creating the target first when needed. 1, or 0 at the first
// failure.
int setupNetconsole(const NetconsoleTarget& target);

#endif
