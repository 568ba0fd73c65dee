// Reading a DNS name from a received message, compression pointers
// included, without ever leaving the received bytes.
#ifndef NET_DISCOVERY_DNSNAME_H
#define NET_DISCOVERY_DNSNAME_H

#include <cstddef>
#include <cstdint>

constexpr int kDnsMaxNameBytes = 256;   // encoded length a name may reach
constexpr int kDnsMaxPointers = 32;     // pointers followed for one name

struct DnsName {
  int count;                           // labels
  uint8_t length[kDnsMaxNameBytes / 2];
  uint16_t start[kDnsMaxNameBytes / 2];  // offset of each label's text in text
  char text[kDnsMaxNameBytes];

  // Label i equals the given text (ASCII letters compared without case).
  bool labelIs(int i, const char* label) const;
};

// Reads the name at *cursor of the message (offsets count from its first
// header byte). A pointer is followed only to an offset before its own and
// at most kDnsMaxPointers times. 1 with *cursor behind the name (behind its
// first pointer); 0 when the name leaves the message, uses a reserved label
// type, loops or grows beyond kDnsMaxNameBytes (the cursor then undefined).
int readDnsName(const uint8_t* message, size_t length, size_t* cursor, DnsName* name);

#endif
