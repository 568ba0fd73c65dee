// The names the mDNS responder announces: the service table, the instance
// names and the host label.
//
// A DNS label holds at most 63 bytes; longer ones are read as the reserved
// label types and make receivers drop the whole packet. Every label built
// here is therefore cut to 63 bytes at a UTF-8 character boundary, a
// conflict suffix " (N)" included.
#ifndef NET_DISCOVERY_MDNSNAMES_H
#define NET_DISCOVERY_MDNSNAMES_H

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

constexpr int kMdnsMaxLabel = 63;
constexpr int kMdnsNameBufferSize = 129;  // instance and host label buffers

// Record bits of MdnsService::pending and ::additional.
constexpr uint8_t MDNS_SRV = 0x01;
constexpr uint8_t MDNS_PTR = 0x02;
constexpr uint8_t MDNS_TXT = 0x04;
constexpr uint8_t MDNS_A_ADDITIONAL = 0x08;
constexpr uint8_t MDNS_ANY = 0x10;
constexpr uint8_t MDNS_A = 0x20;
constexpr uint8_t MDNS_BROWSE = 0x80;

struct MdnsService {
  char* instanceName;  // primary or secondary buffer
  const char* label;   // "_https", "_http"
  uint16_t port;       // 0: row inactive
  uint8_t pending;
  uint8_t additional;

  bool active() const { return port != 0 && instanceName[0] != 0; }
  // ORs bits into the pending byte, or clears them; a byte left at the
  // bare browse mark becomes 0.
  void markRecords(uint8_t bits, bool clear);
  void clearBits() { pending = additional = 0; }
};

constexpr int kMdnsServiceRows = 4;
constexpr int kMdnsHostRow = 4;  // matchName's row of the host name
extern MdnsService mdnsServices[kMdnsServiceRows];
// The companion row of each service row (rows 2 and 3 never become active).
int mdnsCompanionRow(int row);

// The primary instance-name buffer. Only the responder's thread writes it,
// holding mdnsInstanceNameMutex(); other threads read it through
// copyBonjourInstanceName.
const char* bonjourInstanceName();
char* mdnsPrimaryInstanceBuffer();
std::mutex& mdnsInstanceNameMutex();
// A copy of the name announced now (the Bonjour page shows it); "" none.
std::string copyBonjourInstanceName();

// A trailing " (N)" with N of one or two digits on a text longer than four
// characters: N (the suffix cut off when cut is set), else -1.
int parseConflictSuffix(char* text, bool cut);

// Copies at most maxBytes bytes of text into out (size >= maxBytes + 1),
// never ending inside a UTF-8 character; the byte count copied.
size_t copyLabelText(char* out, const char* text, size_t maxBytes);

#endif
