#include "net/address/zeroconf.h"

#include <arpa/inet.h>

#include <atomic>

#include "net/interface/netinterface.h"
#include "runtime/socket/ipaddress.h"

namespace {

std::atomic<uint32_t> lastZeroconfWord{0};

// Each MAC byte counts as a signed 8-bit value; the hash is a 32-bit word.
uint32_t mixByte(uint32_t hash, uint8_t byte) {
  const uint32_t m = static_cast<uint32_t>(static_cast<int32_t>(static_cast<int8_t>(byte)));
  return m ^ ((hash + m) << 1);
}

// 1 + the remainder modulo 253, taken in 0..252 also for a negative hash.
uint32_t octetOf(uint32_t hash) {
  int32_t remainder = static_cast<int32_t>(hash) % 253;
  if (remainder < 0) remainder += 253;
  return static_cast<uint32_t>(remainder) + 1;
}

}  // namespace

uint32_t nextZeroconfWord(const uint8_t mac[6], uint32_t previousWord) {
  const uint32_t previous = ntohl(previousWord);
  const uint32_t y = previousWord ? (previous >> 8) & 0xff : 0;
  const uint32_t x = previousWord ? previous & 0xff : 0;
  uint32_t hashA = y;
  uint32_t hashB = ~y ^ x;
  for (int k = 1; k <= 5; ++k) {
    hashB = mixByte(hashB, mac[k]);
    hashA = mixByte(hashA, mac[6 - k]);
  }
  return htonl(0xa9fe0000u | (octetOf(hashB) << 8) | octetOf(hashA));
}

void makeZeroconfAddress(IpAddress& out, NetInterface& nif) {
  uint8_t mac[6] = {0, 0, 0, 0, 0, 0};
  nif.getMacAddress(mac);
  const uint32_t word = nextZeroconfWord(mac, lastZeroconfWord.load());
  lastZeroconfWord.store(word);
  out.clear(false);
  out.fromIp4Word(word);
}

uint32_t zeroconfState() { return lastZeroconfWord.load(); }
void setZeroconfState(uint32_t word) { lastZeroconfWord.store(word); }
