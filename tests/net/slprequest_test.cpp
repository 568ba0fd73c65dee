// SLP version 1 requests and replies as bytes: parsing, the attribute
// values, the address decision and the reply layout.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "net/discovery/slprequest.h"

namespace {

uint32_t ip(const char* text) {
  uint32_t word = 0;
  inet_pton(AF_INET, text, &word);
  return word;
}

// A SrvRqst as a client writes it (RFC 2165): header, previous responders,
// predicate.
std::vector<uint8_t> request(const std::string& predicate, const std::string& previous = "", uint8_t function = 1,
                             uint16_t xid = 0x4242) {
  std::vector<uint8_t> m = {1, function, 0, 0, 0, 0, 'e', 'n', 0, 3, static_cast<uint8_t>(xid >> 8),
                            static_cast<uint8_t>(xid)};
  m.push_back(static_cast<uint8_t>(previous.size() >> 8));
  m.push_back(static_cast<uint8_t>(previous.size()));
  m.insert(m.end(), previous.begin(), previous.end());
  m.push_back(static_cast<uint8_t>(predicate.size() >> 8));
  m.push_back(static_cast<uint8_t>(predicate.size()));
  m.insert(m.end(), predicate.begin(), predicate.end());
  m[2] = static_cast<uint8_t>(m.size() >> 8);
  m[3] = static_cast<uint8_t>(m.size());
  return m;
}

TEST(SlpRequestParse, AcceptsOnlyOurServiceTypeWithAWellFormedPredicate) {
  struct Case {
    std::string predicate;
    int accepted;
  } cases[] = {
      {"service:d-ovode:/DEFAULT//", 1},
      {"SERVICE:D-OVODE:/DEFAULT//", 1},
      {"service:d-ovode:/DEFAULT/X-ORV-NAME == HUB-35307/", 1},
      {"service:printer:/DEFAULT//", 0},
      {"service:d-ovode:", 0},
      {"service:d-ovode:/DEFAULT", 0},
      {"service:d-ovode:/DEFAULT/X-ORV-NAME == x", 0},  // no closing '/'
      {"", 0},
  };
  for (const Case& c : cases) {
    const std::vector<uint8_t> m = request(c.predicate);
    SlpRequest r;
    EXPECT_EQ(parseSlpRequest(m.data(), m.size(), &r), c.accepted) << c.predicate;
  }
}

TEST(SlpRequestParse, OtherVersionsAndFunctionsAreNotRequests) {
  std::vector<uint8_t> m = request("service:d-ovode:/DEFAULT//", "", 8);
  SlpRequest r;
  EXPECT_EQ(parseSlpRequest(m.data(), m.size(), &r), 0);
  m = request("service:d-ovode:/DEFAULT//");
  m[0] = 2;
  EXPECT_EQ(parseSlpRequest(m.data(), m.size(), &r), 0);
}

TEST(SlpRequestParse, LengthsRunningPastTheDatagramDropTheRequest) {
  const std::vector<uint8_t> whole = request("service:d-ovode:/DEFAULT//", "10.0.0.1");
  SlpRequest r;
  ASSERT_EQ(parseSlpRequest(whole.data(), whole.size(), &r), 1);
  // Every cut of the datagram loses its closing '/' or a length's bytes.
  for (size_t length = 0; length < whole.size(); ++length) {
    std::vector<uint8_t> cut(whole.begin(), whole.begin() + static_cast<long>(length));
    EXPECT_EQ(parseSlpRequest(cut.data(), cut.size(), &r), 0) << length;
  }
  struct Case {
    size_t at;  // offset of a 16-bit length to overstate
    uint16_t value;
  } cases[] = {{12, 0xFFFF}, {12, 200}, {12 + 2 + 8, 0xFFFF}, {12 + 2 + 8, 27}};
  for (const Case& c : cases) {
    std::vector<uint8_t> m = whole;
    m[c.at] = static_cast<uint8_t>(c.value >> 8);
    m[c.at + 1] = static_cast<uint8_t>(c.value);
    EXPECT_EQ(parseSlpRequest(m.data(), m.size(), &r), 0) << c.at << " " << c.value;
  }
  // A predicate over 1024 bytes is ignored.
  const std::vector<uint8_t> big = request("service:d-ovode:/DEFAULT//" + std::string(1000, ' '));
  EXPECT_EQ(parseSlpRequest(big.data(), big.size(), &r), 0);
}

TEST(SlpRequestParse, ReadsTheAttributesOfEveryItem) {
  const std::vector<uint8_t> m = request(
      "service:d-ovode:/DEFAULT/x-orv-name == HUB-35307 extra, X-ORV-IP ==10.1.2.3,"
      "X-ORV-IPMASK==255.255.0.0 ,X-ORV-IPGATE == 10.1.0.1/");
  SlpRequest r;
  ASSERT_EQ(parseSlpRequest(m.data(), m.size(), &r), 1);
  EXPECT_TRUE(r.hasName);
  EXPECT_STREQ(r.name, "HUB-35307");
  EXPECT_TRUE(r.hasAddress);
  EXPECT_EQ(r.address, ip("10.1.2.3"));
  EXPECT_FALSE(r.hasMask);  // "==" inside the first word: not recognised
  EXPECT_TRUE(r.hasGateway);
  EXPECT_EQ(r.gateway, ip("10.1.0.1"));
  EXPECT_FALSE(r.badValue);

  const std::vector<uint8_t> glued = request("service:d-ovode:/DEFAULT/X-ORV-NAME == HUB-35307,X-ORV-IP==10.1.2.3/");
  ASSERT_EQ(parseSlpRequest(glued.data(), glued.size(), &r), 1);
  EXPECT_FALSE(r.hasAddress);
}

TEST(SlpAddressValues, DottedQuadsNeedFourOctetsUpTo255) {
  struct Case {
    const char* text;
    int ok;
  } cases[] = {{"10.1.2.3", 1},     {"0.0.0.0", 1},      {"255.255.255.255", 1}, {"256.1.2.3", 0},
               {"10.1.2.300", 0},   {"4294967306.1.1.1", 0}, {"10.1.2", 0},      {"10.1.2.3.4", 0},
               {"10.1.2.3x", 0},    {"10..2.3", 0},      {"-1.2.3.4", 0},        {"0010.1.2.3", 0},
               {"", 0}};
  for (const Case& c : cases) {
    uint32_t word = 0;
    EXPECT_EQ(parseDottedQuad(c.text, std::strlen(c.text), &word), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(word, ip(c.text)) << c.text;
    }
  }
}

TEST(SlpAddressValues, MasksMustBeContiguous) {
  struct Case {
    const char* mask;
    int ok;
  } cases[] = {{"255.255.255.0", 1}, {"255.255.0.0", 1}, {"128.0.0.0", 1},   {"255.255.255.252", 1},
               {"255.0.255.0", 0},   {"0.0.0.0", 0},     {"255.255.255.255", 0}, {"0.255.255.255", 0},
               {"255.255.255.254", 0}};
  for (const Case& c : cases) EXPECT_EQ(isContiguousNetmask(ip(c.mask)), c.ok) << c.mask;
}

TEST(SlpAddressDecision, OnlyALinkLocalDeviceNamedByTheRequestTakesAUsableAddress) {
  struct Case {
    const char* predicateItems;
    bool named;
    const char* current;
    bool linkLocal;
    SlpAddressChange expected;
  } cases[] = {
      {"X-ORV-IP == 10.1.2.3, X-ORV-IPMASK == 255.255.0.0, X-ORV-IPGATE == 10.1.0.1", true, "0.0.0.0", true, SLP_APPLY},
      {"X-ORV-IP == 10.1.2.3", false, "0.0.0.0", true, SLP_KEEP},
      {"X-ORV-IP == 10.1.2.3", true, "192.168.1.20", false, SLP_REFUSE},
      {"X-ORV-IP == 192.168.1.20", true, "192.168.1.20", false, SLP_KEEP},
      {"X-ORV-IPMASK == 255.255.0.0", true, "0.0.0.0", true, SLP_KEEP},
      {"X-ORV-IP == 0.0.0.0", true, "0.0.0.0", true, SLP_KEEP},
      {"X-ORV-IP == 266.1.2.3", true, "0.0.0.0", true, SLP_REFUSE},
      {"X-ORV-IP == 0.1.2.3", true, "0.0.0.0", true, SLP_REFUSE},
      {"X-ORV-IP == 127.0.0.2", true, "0.0.0.0", true, SLP_REFUSE},
      {"X-ORV-IP == 224.0.0.9", true, "0.0.0.0", true, SLP_REFUSE},
      {"X-ORV-IP == 240.1.2.3", true, "0.0.0.0", true, SLP_REFUSE},
      {"X-ORV-IP == 169.254.1.2", true, "0.0.0.0", true, SLP_REFUSE},
      {"X-ORV-IP == 10.1.1.255", true, "0.0.0.0", true, SLP_REFUSE},
      {"X-ORV-IP == 10.1.1.255, X-ORV-IPMASK == 255.255.0.0", true, "0.0.0.0", true, SLP_APPLY},
      {"X-ORV-IP == 10.1.255.255, X-ORV-IPMASK == 255.255.0.0", true, "0.0.0.0", true, SLP_REFUSE},
      {"X-ORV-IP == 10.1.0.0, X-ORV-IPMASK == 255.255.0.0", true, "0.0.0.0", true, SLP_REFUSE},
      {"X-ORV-IP == 10.1.2.3, X-ORV-IPMASK == 255.0.255.0", true, "0.0.0.0", true, SLP_REFUSE},
      {"X-ORV-IP == 10.1.2.3, X-ORV-IPMASK == 255.255.256.0", true, "0.0.0.0", true, SLP_REFUSE},
      {"X-ORV-IP == 10.1.2.3, X-ORV-IPGATE == 0.0.0.0", true, "0.0.0.0", true, SLP_APPLY},
      {"X-ORV-IP == 10.1.2.3, X-ORV-IPGATE == 127.0.0.1", true, "0.0.0.0", true, SLP_REFUSE},
      {"X-ORV-IP == 10.1.2.3, X-ORV-IPGATE == 10.1.2", true, "0.0.0.0", true, SLP_REFUSE},
      {"X-ORV-IP == 10.1.2.3", true, "169.254.3.4", true, SLP_APPLY},
  };
  for (const Case& c : cases) {
    const std::vector<uint8_t> m = request(std::string("service:d-ovode:/DEFAULT/") + c.predicateItems + "/");
    SlpRequest r;
    ASSERT_EQ(parseSlpRequest(m.data(), m.size(), &r), 1) << c.predicateItems;
    EXPECT_EQ(decideSlpAddressChange(r, c.named, ip(c.current), c.linkLocal), c.expected) << c.predicateItems;
  }
}

TEST(SlpReply, EchoesTheRequestHeaderAndCarriesOneUrl) {
  const std::vector<uint8_t> m = request("service:d-ovode:/DEFAULT//", "", 1, 0xBEEF);
  SlpRequest r;
  ASSERT_EQ(parseSlpRequest(m.data(), m.size(), &r), 1);
  const char* url = "service:d-ovode://10.0.0.5;x-orv-name=HUB";
  uint8_t out[256];
  const size_t length = buildSlpReply(r.header, url, out, sizeof out);
  ASSERT_EQ(length, 20 + std::strlen(url));
  const std::vector<uint8_t> fixed(out, out + 20);
  const uint8_t total = static_cast<uint8_t>(length);
  const uint8_t urlLength = static_cast<uint8_t>(std::strlen(url));
  EXPECT_EQ(fixed, std::vector<uint8_t>({1, 2, 0, total, 0, 0, 'e', 'n', 0, 3, 0xBE, 0xEF, 0, 0, 0, 1, 0x2A, 0x30, 0,
                                         urlLength}));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(out) + 20, length - 20), url);
  EXPECT_EQ(buildSlpReply(r.header, url, out, 30), 0u);
  EXPECT_EQ(validateSlpReply(out, length), 1);
  out[1] = 1;
  EXPECT_EQ(validateSlpReply(out, length), 0);
}

}  // namespace
