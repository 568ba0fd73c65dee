// SNTP packets (RFC 4330): the client's request and the checks of a reply.
#ifndef NET_TIME_SNTPPACKET_H
#define NET_TIME_SNTPPACKET_H

#include <cstddef>
#include <cstdint>

constexpr size_t kSntpPacketSize = 48;
constexpr uint16_t kSntpPort = 123;
// Seconds from the NTP epoch (1900) to the Unix epoch (1970).
constexpr int64_t kNtpToUnixSeconds = 2208988800LL;

// The request: leap indicator 0, version 1, mode 3 (client), poll 4, the
// rest zero.
void buildSntpRequest(uint8_t out[kSntpPacketSize]);

// Why a reply was refused.
enum class SntpReplyCheck {
  Good,
  BadSize,       // not exactly 48 bytes
  NotServer,     // mode other than 4
  Unsynchronised,// leap indicator 3
  BadStratum,    // 0 (kiss-o'-death) or above 15
  NoTime,        // transmit time zero
};

// Checks a server's reply; for a good one *unixSeconds gets the transmit
// time in Unix seconds (times of the NTP era that began in 2036 are read as
// such: a transmit second word below 2^31 lies after 2036).
SntpReplyCheck checkSntpReply(const uint8_t* data, size_t length, int64_t* unixSeconds);

#endif
