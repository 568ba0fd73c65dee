// The kinds of simulated device and their options (see usbhost_sim.h for
// the words of the device file).
#ifndef PLATFORM_SIMUSB_SIMUSBKINDS_H
#define PLATFORM_SIMUSB_SIMUSBKINDS_H

#include <map>
#include <memory>
#include <string>

#include "platform/simusb/simusbdescriptors.h"

class SimUsbDevice;

// "key=value" words; a bare number is taken as "ports".
class SimUsbOptions {
 public:
  // false (with a reason) for a malformed word.
  bool parse(const std::string& text, std::string* error);
  bool has(const char* key) const { return values_.count(key) != 0; }
  std::string text(const char* key, const std::string& fallback) const;
  // Numbers in the base the prefix gives (0x for hexadecimal); fallback
  // when absent, false through ok when malformed.
  long number(const char* key, long fallback, bool* ok) const;
  long hexNumber(const char* key, long fallback, bool* ok) const;
  // A size with an optional K, M or G suffix.
  long long size(const char* key, long long fallback, bool* ok) const;

 private:
  std::map<std::string, std::string> values_;
};

// A device of the kind ("hub", "hid", "loopback", "storage"), built for
// the devpath (used for the default backing file of storage). Null with a
// reason for an unknown kind or bad options.
std::unique_ptr<SimUsbDevice> makeSimUsbDevice(const std::string& kind, const std::string& devpath,
                                               const SimUsbOptions& options, std::string* error);

// The kinds themselves (simusbhid.cpp, simusbloopback.cpp, ...), given
// descriptors with the common options already applied.
SimUsbDescriptors simUsbHidDescriptors();
std::unique_ptr<SimUsbDevice> makeSimUsbHid(SimUsbDescriptors d, const SimUsbOptions& options, std::string* error);
SimUsbDescriptors simUsbLoopbackDescriptors();
std::unique_ptr<SimUsbDevice> makeSimUsbLoopback(SimUsbDescriptors d, const SimUsbOptions& options, std::string* error);
SimUsbDescriptors simUsbStorageDescriptors();
std::unique_ptr<SimUsbDevice> makeSimUsbStorage(SimUsbDescriptors d, const std::string& devpath,
                                                const SimUsbOptions& options, std::string* error);
SimUsbDescriptors simUsbHubDescriptors();
std::unique_ptr<SimUsbDevice> makeSimUsbHub(SimUsbDescriptors d, const SimUsbOptions& options, std::string* error);

#endif
