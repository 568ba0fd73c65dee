// Fuzzes the SLP agent's reading of service requests: header, previous
// responder list, predicate and the X-ORV attribute values.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "net/discovery/slprequest.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An exact-size copy, so any read past the datagram is caught.
  std::vector<uint8_t> message(data, data + size);
  SlpRequest request;
  if (!parseSlpRequest(message.data(), message.size(), &request)) return 0;
  if (size < static_cast<size_t>(kSlpHeaderSize) + 4 || data[0] != 1 || data[1] != 1) std::abort();
  if (request.hasName && std::strlen(request.name) > static_cast<size_t>(kSlpMaxName)) std::abort();
  for (bool linkLocal : {false, true}) {
    const SlpAddressChange change = decideSlpAddressChange(request, true, 0, linkLocal);
    if (change == SLP_APPLY) {
      // Only a usable address with a contiguous mask and a usable gateway
      // is ever applied.
      if (!linkLocal || request.badValue) std::abort();
      if (!isUsableSlpAddress(request.address, request.mask, request.hasMask)) std::abort();
      if (request.hasMask && !isContiguousNetmask(request.mask)) std::abort();
    }
  }
  uint8_t reply[kSlpReplyFixed + 64];
  const size_t length = buildSlpReply(request.header, "service:d-ovode://10.0.0.5;x-orv-name=HUB", reply, sizeof reply);
  if (length == 0) std::abort();
  validateSlpReply(reply, length);
  return 0;
}
