// Fuzz target for the SNTP reply checks: any host can send a datagram to
// the client's port.
#include <cstdint>
#include <cstdlib>

#include "net/time/sntppacket.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  int64_t seconds = -1;
  const SntpReplyCheck check = checkSntpReply(data, size, &seconds);
  if (check == SntpReplyCheck::Good) {
    // Only complete, plausible server replies carry a time, and it lies
    // between 1968 and 2104.
    if (size != kSntpPacketSize || (data[0] & 7) != 4 || (data[0] >> 6) == 3) std::abort();
    if (data[1] == 0 || data[1] > 15) std::abort();
    if (seconds < (int64_t{1} << 31) - kNtpToUnixSeconds || seconds >= (int64_t{1} << 32) + (int64_t{1} << 31) - kNtpToUnixSeconds)
      std::abort();
  } else if (seconds != -1) {
    std::abort();  // a refused reply leaves the time alone
  }
  return 0;
}
