#include "usbserver/devices/usbdescriptors.h"

#include <cstdio>
#include <cstring>
#include <new>

namespace {

constexpr uint8_t kTypeDevice = 1;
constexpr uint8_t kTypeConfiguration = 2;
constexpr uint8_t kTypeInterface = 4;
constexpr uint8_t kTypeEndpoint = 5;
constexpr uint8_t kInterfaceDescriptorSize = 9;
constexpr uint8_t kClassVideo = 14;

void countUp(uint8_t& counter) {
  if (counter < 0xFF) ++counter;
}

}  // namespace

void UsbDescriptorCache::reset() {
  std::memset(device, 0, sizeof device);
  configTable.reset();
  configTableSize = 0;
  std::memset(endpointsIn, 0, sizeof endpointsIn);
  std::memset(endpointsOut, 0, sizeof endpointsOut);
  endpointsIn[USB_EP_CONTROL] = 1;
  endpointsOut[USB_EP_CONTROL] = 1;
  configCount = 0;
  interfaceCount = 0;
  videoDevice = 0;
}

const UsbConfigEntry* UsbDescriptorCache::entry(int i) const {
  if (!configTable || i < 0 || i >= configTableSize) return nullptr;
  return &configTable[i];
}

int UsbDescriptorCache::findConfiguration(int value) const {
  for (int i = 0; configTable && i < configTableSize; ++i)
    if (configTable[i].configurationValue() == value) return i;
  return -1;
}

size_t UsbDescriptorReader::read(uint8_t* out, size_t n) {
  const size_t left = size_ - pos_;
  if (n > left) n = left;
  if (n == 0) return 0;
  std::memcpy(out, data_ + pos_, n);
  pos_ += n;
  return n;
}

bool UsbDescriptorReader::skip(size_t n) {
  if (n > size_ - pos_) {
    pos_ = size_;
    return false;
  }
  pos_ += n;
  return true;
}

int walkUsbDescriptors(UsbDescriptorReader& in, UsbDescriptorCache& cache,
                       UsbStringIndexHook hook, void* context) {
  if (in.read(cache.device, USB_DEVICE_DESCRIPTOR_SIZE) != USB_DEVICE_DESCRIPTOR_SIZE) return 0;
  if (cache.device[1] != kTypeDevice) return 0;
  const int configurations = cache.device[17];
  if (configurations < 1 || configurations > USB_MAX_CONFIGURATIONS) {
    std::printf("%s ERROR, configurations %d > %d\n", "fetchDescriptors", configurations,
                USB_MAX_CONFIGURATIONS);
    return 0;
  }
  cache.configTable.reset(new (std::nothrow) UsbConfigEntry[configurations]());
  if (!cache.configTable) {
    cache.configTableSize = 0;
    return 0;
  }
  cache.configTableSize = static_cast<uint8_t>(configurations);

  int config = 0;  // entries filled so far
  int slot = 0;    // next interface slot of entry config - 1
  uint8_t head[2];
  // Every descriptor body is at most 255 bytes (its length is 8-bit); the
  // fields used are taken from this zeroed copy, never from beyond it.
  uint8_t body[256];
  while (in.read(head, 2) == 2) {
    const uint8_t length = head[0];
    const uint8_t type = head[1];
    const uint8_t size = static_cast<uint8_t>(length - 2);
    if (type == kTypeConfiguration && length == USB_CONFIG_DESCRIPTOR_SIZE) {
      countUp(cache.configCount);
      if (config >= configurations) return 0;
      UsbConfigEntry& e = cache.configTable[config];
      e.descriptor[0] = head[0];
      e.descriptor[1] = head[1];
      if (in.read(e.descriptor + 2, 7) != 7) return 0;
      if (hook && e.descriptor[6]) hook(context, e.descriptor[6]);
      ++config;
      slot = 0;
    } else if (type == kTypeInterface && length >= kInterfaceDescriptorSize) {
      countUp(cache.interfaceCount);
      std::memset(body, 0, sizeof body);
      if (in.read(body + 2, size) != size) return 0;
      const uint8_t number = body[2], alternate = body[3], cls = body[5], name = body[8];
      if (hook && name) hook(context, name);
      if (cls == kClassVideo) cache.videoDevice = 1;
      if (config >= 1 && alternate == 0 && slot < USB_MAX_CONFIG_INTERFACES)
        cache.configTable[config - 1].interfaces[slot++] = number;
    } else if (type == kTypeEndpoint && (length == 9 || length == 7)) {
      std::memset(body, 0, sizeof body);
      if (in.read(body + 2, size) != size) return 0;
      const uint8_t address = body[2], attributes = body[3];
      uint8_t* counts = (address & 0x80) ? cache.endpointsIn : cache.endpointsOut;
      countUp(counts[attributes & 3]);
    } else if (!in.skip(size)) {
      return 0;
    }
  }
  return 1;
}
