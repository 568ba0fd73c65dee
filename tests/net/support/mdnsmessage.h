// Test-side view of DNS messages: decodes a whole message into its records
// (names as dotted text) and builds queries.
#ifndef TESTS_NET_SUPPORT_MDNSMESSAGE_H
#define TESTS_NET_SUPPORT_MDNSMESSAGE_H

#include <cstdint>
#include <string>
#include <vector>

struct DnsRecord {
  int section;  // 0 question, 1 answer, 2 authority, 3 additional
  std::string name;
  uint16_t type;
  uint16_t rrclass;
  uint32_t ttl;
  std::vector<uint8_t> data;
  std::string target;  // PTR name, SRV target
  uint16_t port;       // SRV
  std::vector<int> labelLengths;  // length bytes of the owner as written
};

struct DnsMessage {
  bool ok = false;
  uint16_t id = 0;
  uint16_t flags = 0;
  std::vector<DnsRecord> records;
  // Records of a section and type ("" name: any).
  std::vector<DnsRecord> find(int section, uint16_t type, const std::string& name = "") const;
};

DnsMessage decodeDnsMessage(const std::vector<uint8_t>& bytes);

// Builds a message: header, then records appended in section order.
class DnsBuilder {
 public:
  DnsBuilder(uint16_t id, uint16_t flags);
  DnsBuilder& question(const std::string& name, uint16_t type);
  // section 1 answer, 2 authority, 3 additional.
  DnsBuilder& record(int section, const std::string& name, uint16_t type, uint32_t ttl,
                     const std::vector<uint8_t>& data, uint16_t rrclass = 1);
  static std::vector<uint8_t> encodeName(const std::string& dotted);
  static std::vector<uint8_t> srvData(uint16_t port, const std::string& target);
  const std::vector<uint8_t>& bytes() const { return bytes_; }

 private:
  void count(int section);
  std::vector<uint8_t> bytes_;
};

#endif
