// Fuzzes the check of a received IPv4 packet as an echo request that may
// give the device its address.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "net/address/arppingaddress.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  // The first byte picks the packet type, the rest is the packet.
  std::vector<uint8_t> packet(data + 1, data + size);
  uint32_t target = 0;
  echoRequestTarget(packet.data(), packet.size(), data[0] & 7, &target);
  return 0;
}
