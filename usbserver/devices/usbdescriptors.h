// The descriptors of a device as read once from its usbfs node, and the walk
// that fills them from the node's bytes (device descriptor, then every
// configuration with its interface and endpoint descriptors).
#ifndef USBSERVER_DEVICES_USBDESCRIPTORS_H
#define USBSERVER_DEVICES_USBDESCRIPTORS_H

#include <cstddef>
#include <cstdint>
#include <memory>

constexpr int USB_DEVICE_DESCRIPTOR_SIZE = 18;
constexpr int USB_CONFIG_DESCRIPTOR_SIZE = 9;
constexpr int USB_MAX_CONFIGURATIONS = 32;
constexpr int USB_MAX_CONFIG_INTERFACES = 64;

// Endpoint transfer types as bmAttributes & 3 numbers them; the index into
// the endpoint counts.
enum UsbEndpointType { USB_EP_CONTROL = 0, USB_EP_ISOCHRONOUS = 1, USB_EP_BULK = 2, USB_EP_INTERRUPT = 3 };

// One 73-byte entry of the configuration table.
struct UsbConfigEntry {
  uint8_t descriptor[USB_CONFIG_DESCRIPTOR_SIZE];  // as read; little-endian fields
  uint8_t interfaces[USB_MAX_CONFIG_INTERFACES];   // numbers of the alternate-0 interfaces

  uint8_t numInterfaces() const { return descriptor[4]; }
  uint8_t configurationValue() const { return descriptor[5]; }
};
static_assert(sizeof(UsbConfigEntry) == 73, "a configuration entry is 73 bytes");

// What the walk keeps of a device's descriptors.
struct UsbDescriptorCache {
  uint8_t device[USB_DEVICE_DESCRIPTOR_SIZE] = {};
  std::unique_ptr<UsbConfigEntry[]> configTable;  // configTableSize entries
  uint8_t configTableSize = 0;                    // bNumConfigurations when read
  uint8_t endpointsIn[4] = {1, 0, 0, 0};          // by UsbEndpointType
  uint8_t endpointsOut[4] = {1, 0, 0, 0};
  uint8_t configCount = 0;     // configuration descriptors read
  uint8_t interfaceCount = 0;  // interface descriptors read, every alternate setting
  uint8_t videoDevice = 0;     // an interface of class 14 was seen

  // Back to "nothing read": zeroed device descriptor, no table, counts
  // 0 except the control endpoints (1 each way).
  void reset();
  // Entry i, or null outside the table.
  const UsbConfigEntry* entry(int i) const;
  // Index of the entry with that bConfigurationValue, -1 when none.
  int findConfiguration(int value) const;

  uint8_t numConfigurations() const { return device[17]; }
  uint16_t idVendor() const { return static_cast<uint16_t>(device[8] | (device[9] << 8)); }
  uint16_t idProduct() const { return static_cast<uint16_t>(device[10] | (device[11] << 8)); }
};

// Sequential reads over the bytes of a usbfs node.
class UsbDescriptorReader {
 public:
  UsbDescriptorReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  // Copies up to n bytes into out; the count copied.
  size_t read(uint8_t* out, size_t n);
  // Moves on n bytes; false (and at the end) when fewer are left.
  bool skip(size_t n);

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

// Told each non-zero string index met in a configuration or interface
// descriptor, in descriptor order.
using UsbStringIndexHook = void (*)(void* context, uint8_t index);

// Walks the node's bytes into cache (its counts are added to): 1 when the
// device descriptor and every descriptor that followed could be read,
// 0 otherwise. However malformed the bytes, nothing is written outside the
// cache's table. hook may be null.
int walkUsbDescriptors(UsbDescriptorReader& in, UsbDescriptorCache& cache,
                       UsbStringIndexHook hook, void* context);

#endif
