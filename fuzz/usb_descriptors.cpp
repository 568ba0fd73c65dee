// Fuzzes the walk over the bytes of a usbfs device node: a hostile device
// decides every byte, and the walk must neither read nor write outside
// what it was given and the configuration table it made.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "usbserver/devices/usbdescriptors.h"

namespace {

void noteString(void* context, uint8_t index) {
  if (index == 0) std::abort();  // only non-zero indices are reported
  ++*static_cast<int*>(context);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  UsbDescriptorCache cache;
  UsbDescriptorReader reader(data, size);
  int strings = 0;
  const int ok = walkUsbDescriptors(reader, cache, noteString, &strings);
  if (ok) {
    if (cache.configTableSize < 1 || cache.configTableSize > USB_MAX_CONFIGURATIONS) std::abort();
    if (cache.configTableSize != cache.numConfigurations()) std::abort();
  }
  // Every entry the walk made is readable.
  unsigned sum = 0;
  for (int i = 0; i < cache.configTableSize; ++i) {
    const UsbConfigEntry* e = cache.entry(i);
    for (uint8_t b : e->descriptor) sum += b;
    for (uint8_t b : e->interfaces) sum += b;
  }
  cache.findConfiguration(static_cast<int>(sum & 0xFF));
  cache.reset();
  return 0;
}
