// A trap sink for the tests: a UDP socket (in a given network namespace)
// that receives SNMPv1 traps and decodes them.
#ifndef TESTS_NOTIFY_SUPPORT_TRAPSINK_H
#define TESTS_NOTIFY_SUPPORT_TRAPSINK_H

#include <cstdint>
#include <string>
#include <vector>

struct DecodedVarbind {
  std::string oid;  // dotted
  uint8_t type = 0;
  long integer = 0;
  std::string text;
};

struct DecodedTrap {
  std::string community;
  std::string enterprise;
  long generic = -1;
  long specific = -1;
  std::vector<DecodedVarbind> varbinds;
  // The value of binding 1.3.6.1.4.1.32473.2.51.<leaf>, or none.
  const DecodedVarbind* leaf(int n) const;
};

// Decodes one SNMPv1 trap message; false when it is not one.
bool decodeV1Trap(const uint8_t* data, size_t length, DecodedTrap* trap);

class TrapSink {
 public:
  // Binds address:port inside the named network namespace ("" = this one).
  TrapSink(const std::string& netns, const std::string& address, int port);
  ~TrapSink();
  TrapSink(const TrapSink&) = delete;
  TrapSink& operator=(const TrapSink&) = delete;
  bool ok() const { return fd_ >= 0; }

  // Traps received within timeoutMs (stops early once count have come).
  std::vector<DecodedTrap> receive(size_t count, int timeoutMs);

 private:
  int fd_ = -1;
};

#endif
