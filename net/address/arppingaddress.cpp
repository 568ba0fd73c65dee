#include "net/address/arppingaddress.h"

#include <arpa/inet.h>

#include <cstring>

int isAssignableIp4Address(uint32_t networkOrderWord) {
  const uint32_t a = ntohl(networkOrderWord);
  const uint32_t first = a >> 24;
  if (first == 0 || first == 127 || first >= 224) return 0;
  if ((a >> 16) == 0xa9fe) return 0;  // 169.254/16
  if ((a & 0xff) == 0xff) return 0;
  return 1;
}

int echoRequestTarget(const uint8_t* packet, size_t length, int packetType, uint32_t* target) {
  constexpr uint8_t kIcmp = 1;
  constexpr uint8_t kEchoRequest = 8;
  // A broadcast or multicast frame is not addressed to this device, even
  // when its IPv4 destination looks like a host (a /25's broadcast .127).
  if (packetType != kPacketToThisHost || !packet || length < 20) return 0;
  if ((packet[0] >> 4) != 4) return 0;
  const size_t headerLength = static_cast<size_t>(packet[0] & 0x0f) * 4;
  if (headerLength < 20 || headerLength >= length) return 0;
  if (packet[9] != kIcmp || packet[headerLength] != kEchoRequest) return 0;
  uint32_t destination;
  std::memcpy(&destination, packet + 16, 4);
  if (!isAssignableIp4Address(destination)) return 0;
  if (target) *target = destination;
  return 1;
}
