#include "platform/simusb/simusbsysfs.h"

#include <dirent.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/simusb/simusbdevice.h"

void makeSimUsbDirectories(const std::string& path) {
  for (size_t pos = 1; pos != std::string::npos;) {
    pos = path.find('/', pos + 1);
    ::mkdir(path.substr(0, pos).c_str(), 0755);
  }
}

void makeSimUsbParentDirectories(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash != std::string::npos && slash > 0) makeSimUsbDirectories(path.substr(0, slash));
}

namespace {

void writeBytes(const std::string& dir, const char* name, const void* data, size_t size) {
  std::string path = dir + "/" + name;
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return;
  if (size) std::fwrite(data, 1, size, f);
  std::fclose(f);
}

__attribute__((format(printf, 3, 4))) void writeText(const std::string& dir, const char* name, const char* format,
                                                      ...) {
  char text[256];
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (n < 0) return;
  writeBytes(dir, name, text, std::strlen(text));
}

int removeEntry(const char* path, const struct stat*, int, struct FTW*) {
  ::remove(path);
  return 0;
}

void removeTree(const std::string& path) { ::nftw(path.c_str(), removeEntry, 8, FTW_DEPTH | FTW_PHYS); }

// Entries of the devices directory whose names start with prefix.
std::vector<std::string> entriesStartingWith(const std::string& devicesDir, const std::string& prefix) {
  std::vector<std::string> out;
  DIR* d = ::opendir(devicesDir.c_str());
  if (!d) return out;
  while (dirent* e = ::readdir(d)) {
    if (std::strncmp(e->d_name, prefix.c_str(), prefix.size()) == 0) out.emplace_back(e->d_name);
  }
  ::closedir(d);
  return out;
}

const char* speedText(SimUsbSpeed speed) {
  switch (speed) {
    case SimUsbSpeed::Low:
      return "1.5";
    case SimUsbSpeed::Full:
      return "12";
    case SimUsbSpeed::High:
      return "480";
    case SimUsbSpeed::Super:
      return "5000";
  }
  return "12";
}

void writeInterfaceDir(const std::string& dir, const SimUsbInterface& i, const SimUsbDescriptors& d) {
  makeSimUsbDirectories(dir);
  writeText(dir, "bInterfaceNumber", "%02x\n", i.number);
  writeText(dir, "bAlternateSetting", "%2d\n", i.alternate);
  writeText(dir, "bNumEndpoints", "%02x\n", static_cast<unsigned>(i.endpoints.size()));
  writeText(dir, "bInterfaceClass", "%02x\n", i.interfaceClass);
  writeText(dir, "bInterfaceSubClass", "%02x\n", i.subClass);
  writeText(dir, "bInterfaceProtocol", "%02x\n", i.protocol);
  if (i.stringIndex && i.stringIndex <= d.strings.size())
    writeText(dir, "interface", "%s\n", d.strings[i.stringIndex - 1].c_str());
}

void writeString(const std::string& dir, const char* name, uint8_t index, const SimUsbDescriptors& d) {
  if (index && index <= d.strings.size()) writeText(dir, name, "%s\n", d.strings[index - 1].c_str());
}

}  // namespace

bool resetSimUsbSysfs(const std::string& dir) {
  removeTree(dir);
  makeSimUsbDirectories(dir);
  struct stat st;
  return ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void writeSimUsbRootHub(const std::string& devicesDir, int busnum) {
  const std::string dir = devicesDir + "/usb" + std::to_string(busnum);
  makeSimUsbDirectories(dir);
  writeText(dir, "busnum", "%d\n", busnum);
  writeText(dir, "devnum", "1\n");
  writeText(dir, "devpath", "0\n");
  writeText(dir, "idVendor", "1d6b\n");
  writeText(dir, "idProduct", "0002\n");
  writeText(dir, "bcdDevice", "0600\n");
  writeText(dir, "bDeviceClass", "09\n");
  writeText(dir, "bDeviceSubClass", "00\n");
  writeText(dir, "bDeviceProtocol", "01\n");
  writeText(dir, "bNumConfigurations", "1\n");
  writeText(dir, "bConfigurationValue", "1\n");
  writeText(dir, "bMaxPower", "0mA\n");
  writeText(dir, "speed", "480\n");
  writeText(dir, "version", " 2.00\n");
  writeText(dir, "maxchild", "15\n");
  writeText(dir, "manufacturer", "Simulated host controller\n");
  writeText(dir, "product", "Root hub\n");
  writeText(dir, "dev", "189:%d\n", (busnum - 1) * 128);
  const std::string intf = devicesDir + "/" + std::to_string(busnum) + "-0:1.0";
  makeSimUsbDirectories(intf);
  writeText(intf, "bInterfaceNumber", "00\n");
  writeText(intf, "bAlternateSetting", " 0\n");
  writeText(intf, "bNumEndpoints", "01\n");
  writeText(intf, "bInterfaceClass", "09\n");
  writeText(intf, "bInterfaceSubClass", "00\n");
  writeText(intf, "bInterfaceProtocol", "00\n");
}

void removeSimUsbRootHub(const std::string& devicesDir, int busnum) {
  removeTree(devicesDir + "/usb" + std::to_string(busnum));
  removeTree(devicesDir + "/" + std::to_string(busnum) + "-0:1.0");
}

void writeSimUsbDevice(const std::string& devicesDir, const std::string& name, int busnum, int devnum,
                       const SimUsbDevice& device) {
  const std::string dir = devicesDir + "/" + name;
  const SimUsbDescriptors& d = device.descriptors();
  // The kernel's copy of the device descriptor: what the node also shows.
  const std::vector<uint8_t> node = device.nodeImage();
  makeSimUsbDirectories(dir);
  size_t dash = name.find('-');
  writeText(dir, "busnum", "%d\n", busnum);
  writeText(dir, "devnum", "%d\n", devnum);
  writeText(dir, "devpath", "%s\n", dash == std::string::npos ? name.c_str() : name.c_str() + dash + 1);
  writeText(dir, "idVendor", "%04x\n", d.vendor);
  writeText(dir, "idProduct", "%04x\n", d.product);
  writeText(dir, "bcdDevice", "%04x\n", d.bcdDevice);
  writeText(dir, "bDeviceClass", "%02x\n", d.deviceClass);
  writeText(dir, "bDeviceSubClass", "%02x\n", d.subClass);
  writeText(dir, "bDeviceProtocol", "%02x\n", d.protocol);
  writeText(dir, "bMaxPacketSize0", "%d\n", d.maxPacket0);
  writeText(dir, "bNumConfigurations", "%d\n", node.size() > 17 ? node[17] : 0);
  unsigned power = 0;
  if (const SimUsbConfiguration* c = device.activeConfiguration())
    power = c->maxPower * (d.speed == SimUsbSpeed::Super ? 8u : 2u);
  writeText(dir, "bMaxPower", "%umA\n", power);
  writeText(dir, "speed", "%s\n", speedText(d.speed));
  writeText(dir, "version", "%2x.%02x\n", d.bcdUsb >> 8, d.bcdUsb & 0xff);
  writeText(dir, "maxchild", "%d\n", device.hubPorts());
  writeText(dir, "dev", "189:%d\n", (busnum - 1) * 128 + devnum - 1);
  writeString(dir, "manufacturer", d.iManufacturer, d);
  writeString(dir, "product", d.iProduct, d);
  writeString(dir, "serial", d.iSerial, d);
  writeBytes(dir, "descriptors", node.data(), node.size());
  writeSimUsbInterfaces(devicesDir, name, device);
}

void writeSimUsbInterfaces(const std::string& devicesDir, const std::string& name, const SimUsbDevice& device) {
  const std::string dir = devicesDir + "/" + name;
  for (const std::string& entry : entriesStartingWith(devicesDir, name + ":")) removeTree(devicesDir + "/" + entry);
  const SimUsbConfiguration* c = device.activeConfiguration();
  if (!c) {
    writeText(dir, "bConfigurationValue", "\n");
    writeText(dir, "bNumInterfaces", "\n");
    return;
  }
  writeText(dir, "bConfigurationValue", "%u\n", c->value);
  writeText(dir, "bNumInterfaces", "%2d\n", c->interfaceCount());
  writeText(dir, "bmAttributes", "%2x\n", c->attributes);
  for (const auto& i : c->interfaces) {
    if (i.alternate != 0) continue;
    writeInterfaceDir(devicesDir + "/" + name + ":" + std::to_string(c->value) + "." + std::to_string(i.number), i,
                      device.descriptors());
  }
}

void removeSimUsbDevice(const std::string& devicesDir, const std::string& name) {
  for (const std::string& entry : entriesStartingWith(devicesDir, name + ":")) removeTree(devicesDir + "/" + entry);
  removeTree(devicesDir + "/" + name);
}
