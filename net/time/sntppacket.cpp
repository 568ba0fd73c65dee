#include "net/time/sntppacket.h"

#include <cstring>

void buildSntpRequest(uint8_t out[kSntpPacketSize]) {
  std::memset(out, 0, kSntpPacketSize);
  out[0] = 0x0B;  // LI 0, VN 1, mode 3
  out[2] = 4;     // poll
}

SntpReplyCheck checkSntpReply(const uint8_t* data, size_t length, int64_t* unixSeconds) {
  if (!data || length != kSntpPacketSize) return SntpReplyCheck::BadSize;
  const int leap = data[0] >> 6;
  const int mode = data[0] & 7;
  const int stratum = data[1];
  if (mode != 4) return SntpReplyCheck::NotServer;
  if (leap == 3) return SntpReplyCheck::Unsynchronised;
  if (stratum < 1 || stratum > 15) return SntpReplyCheck::BadStratum;
  const uint32_t seconds = (static_cast<uint32_t>(data[40]) << 24) | (static_cast<uint32_t>(data[41]) << 16) |
                           (static_cast<uint32_t>(data[42]) << 8) | data[43];
  if (seconds == 0) return SntpReplyCheck::NoTime;
  int64_t ntp = seconds;
  if ((seconds & 0x80000000u) == 0) ntp += int64_t{1} << 32;  // era 1, from 2036 on
  if (unixSeconds) *unixSeconds = ntp - kNtpToUnixSeconds;
  return SntpReplyCheck::Good;
}
