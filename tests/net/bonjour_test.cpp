// The mDNS responder driven in-process: received messages are handed to it
// directly and what it sends is recorded instead of going to the network.
// The program clock is moved for the probe and answer delays.
#include <arpa/inet.h>
#include <sys/uio.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "net/discovery/bonjourtask.h"
#include "net/discovery/dnsname.h"
#include "net/support/mdnsmessage.h"
#include "net/support/netfixture.h"
#include "net/support/tsharkcheck.h"
#include "params/identity/productparams.h"
#include "params/store/paramstore.h"
#include "params/types/parambase.h"
#include "runtime/task/uptime.h"
#include "support/scratch_root.h"

namespace {

constexpr uint16_t kA = 1, kPtr = 12, kTxt = 16, kSrv = 33, kAny = 255;
constexpr uint16_t kResponse = 0x8400;

uint32_t ip(const char* text) {
  uint32_t word = 0;
  inet_pton(AF_INET, text, &word);
  return word;
}

struct Sent {
  DnsMessage message;
  std::vector<uint8_t> bytes;
  uint32_t to;
  uint16_t port;
  int vlan;
};

class RecordingBonjour : public BonjourTask {
 public:
  RecordingBonjour() : BonjourTask(nullptr) {}
  std::vector<Sent> sent;
  std::vector<Sent> take() {
    std::vector<Sent> out;
    out.swap(sent);
    return out;
  }

 protected:
  int transmit(const iovec* parts, int count, uint32_t to, uint16_t port, int vlan) override {
    Sent s;
    for (int i = 0; i < count; ++i) {
      const uint8_t* p = static_cast<const uint8_t*>(parts[i].iov_base);
      s.bytes.insert(s.bytes.end(), p, p + parts[i].iov_len);
    }
    s.message = decodeDnsMessage(s.bytes);
    s.to = to;
    s.port = ntohs(port);
    s.vlan = vlan;
    sent.push_back(s);
    return 1;
  }
};

class BonjourTest : public ScratchRoot {
 protected:
  void SetUp() override {
    ScratchRoot::SetUp();
    std::filesystem::create_directories(path("etc"));
    savedProduct_ = productParams();
    params_.save("bonjour_name");
    params_.save("ip_addr");
    std::strcpy(productParams().product_name, "myHub-20D");
    std::strcpy(productParams().default_name, "HUB-35307");
    BonjourTask::setServicePorts(443, 80);
    setName("");
  }
  void TearDown() override {
    responder_.reset();
    for (MdnsService& s : mdnsServices) s.clearBits();
    BonjourTask::setServicePorts(0, 0);
    productParams() = savedProduct_;
    ScratchRoot::TearDown();
  }
  void setName(const char* name) {
    setParam("bonjour_name", name);
    paramStore.find("bonjour_name")->clearModified();
  }
  // A fresh responder as the task's start makes it.
  RecordingBonjour& start() {
    responder_.reset(new RecordingBonjour());
    responder_->resetState(true);
    for (MdnsService& s : mdnsServices) s.clearBits();
    responder_->loadInstanceCounter();
    responder_->buildInstanceName();
    responder_->setHostAddress(ip("10.0.0.5"));
    return *responder_;
  }
  // Probes and announces; the announcement is left in sent.
  RecordingBonjour& announced() {
    RecordingBonjour& r = start();
    r.advanceProbes();
    for (int i = 0; i < 4; ++i) {
      shiftUptimeForTesting(25);
      r.advanceProbes();
    }
    EXPECT_EQ(r.probeState(), 4);
    r.take();
    return r;
  }
  static MdnsSource peer(uint16_t port = 5353, const char* address = "10.0.0.9") {
    MdnsSource s{};
    s.address = ip(address);
    s.port = port;
    s.vlan = -1;
    return s;
  }
  void receive(const std::vector<uint8_t>& bytes, const MdnsSource& source = peer()) {
    responder_->handlePacket(bytes.data(), bytes.size(), source);
  }

  ProductParams savedProduct_{};
  ParamRestorer params_;
  std::unique_ptr<RecordingBonjour> responder_;
};

const std::string kHttp = "myHub-20D@HUB-35307._http._tcp.local";
const std::string kHttps = "myHub-20D@HUB-35307._https._tcp.local";
const std::string kHost = "HUB-35307.local";

TEST(ConflictSuffix, OnlyATrailingOneOrTwoDigitNumberInParenthesesCounts) {
  struct Case {
    const char* text;
    int value;
    const char* cut;
  } cases[] = {
      {"Office (2)", 2, "Office"},      {"Office (42)", 42, "Office"}, {"Office (123)", -1, "Office (123)"},
      {"Office(2)", -1, "Office(2)"},   {"(2)", -1, "(2)"},            {" (2)", -1, " (2)"},
      {"A (2)", 2, "A"},                {"Office (x)", -1, "Office (x)"}, {"Office ()", -1, "Office ()"},
      {"Office (2) ", -1, "Office (2) "}, {"", -1, ""},
  };
  for (const Case& c : cases) {
    char text[64];
    std::strcpy(text, c.text);
    EXPECT_EQ(parseConflictSuffix(text, false), c.value) << c.text;
    EXPECT_STREQ(text, c.text);
    EXPECT_EQ(parseConflictSuffix(text, true), c.value) << c.text;
    EXPECT_STREQ(text, c.cut) << c.text;
  }
}

TEST(LabelText, CutsNeverSplitAUtf8Character) {
  struct Case {
    const char* text;
    size_t max;
    const char* expected;
  } cases[] = {
      {"abcdef", 4, "abcd"},
      {"ab\xc3\xa9z", 3, "ab"},              // é would be split after its first byte
      {"ab\xc3\xa9z", 4, "ab\xc3\xa9"},
      {"a\xe2\x82\xac", 3, "a"},             // € (three bytes)
      {"\xf0\x9f\x98\x80x", 3, ""},          // a four-byte character
      {"short", 63, "short"},
  };
  for (const Case& c : cases) {
    char out[80];
    EXPECT_EQ(copyLabelText(out, c.text, c.max), std::strlen(c.expected)) << c.text;
    EXPECT_STREQ(out, c.expected) << c.text;
  }
}

TEST_F(BonjourTest, InstanceNameFollowsTheConfiguredNameAndRenamesOnlyNumberedNames) {
  struct Case {
    const char* configured;
    const char* first;
    const char* renamed;
  } cases[] = {
      {"", "myHub-20D@HUB-35307", "myHub-20D@HUB-35307"},
      {"Office", "Office (2)", "Office (3)"},
      {"Office (7)", "Office (7)", "Office (8)"},
      {"Lab HUB-35307", "Lab HUB-35307", "Lab HUB-35307"},
      {"Office (123)", "Office (123) (2)", "Office (123) (3)"},
  };
  for (const Case& c : cases) {
    setName(c.configured);
    RecordingBonjour& r = start();
    EXPECT_STREQ(bonjourInstanceName(), c.first) << c.configured;
    EXPECT_STREQ(r.hostLabel(), "HUB-35307");
    r.renameAfterConflict();
    EXPECT_STREQ(bonjourInstanceName(), c.renamed) << c.configured;
  }
}

// A tick counter that stands still while it lives: the program clock then
// moves only when the test moves it, however slowly the test runs.
bool stillTicks(int64_t* cs) {
  *cs = 0;
  return true;
}
struct StillClock {
  StillClock() { setBoardTickSource(stillTicks); }
  ~StillClock() { setBoardTickSource(nullptr); }
};

TEST_F(BonjourTest, ProbesThreeTimesAQuarterSecondApartThenAnnounces) {
  StillClock still;
  RecordingBonjour& r = start();
  r.advanceProbes();
  r.advanceProbes();
  EXPECT_TRUE(r.sent.empty());
  for (int round = 0; round < 3; ++round) {
    shiftUptimeForTesting(24);
    r.advanceProbes();
    EXPECT_TRUE(r.sent.empty()) << round;
    shiftUptimeForTesting(1);
    r.advanceProbes();
    std::vector<Sent> probes = r.take();
    ASSERT_EQ(probes.size(), 2u) << round;
    const DnsMessage& host = probes[0].message;
    ASSERT_TRUE(host.ok);
    EXPECT_EQ(host.flags, 0);
    ASSERT_EQ(host.find(0, kAny, kHost).size(), 1u);
    const std::vector<DnsRecord> a = host.find(2, kA, kHost);
    ASSERT_EQ(a.size(), 1u);
    EXPECT_EQ(a[0].rrclass, 1);
    EXPECT_EQ(a[0].ttl, 60u);
    EXPECT_EQ(a[0].data, std::vector<uint8_t>({10, 0, 0, 5}));
    const DnsMessage& service = probes[1].message;
    ASSERT_TRUE(service.ok);
    EXPECT_EQ(service.find(0, kAny, kHttps).size(), 1u);
    EXPECT_EQ(service.find(0, kAny, kHttp).size(), 1u);
    const std::vector<DnsRecord> srv = service.find(2, kSrv);
    ASSERT_EQ(srv.size(), 2u);
    EXPECT_EQ(srv[0].port, 443);
    EXPECT_EQ(srv[1].port, 80);
    EXPECT_EQ(srv[0].target, kHost);
    EXPECT_EQ(probes[0].to, ip("224.0.0.251"));
    EXPECT_EQ(probes[0].port, 5353);
  }
  shiftUptimeForTesting(25);
  r.advanceProbes();
  std::vector<Sent> announcement = r.take();
  ASSERT_EQ(announcement.size(), 1u);
  const DnsMessage& m = announcement[0].message;
  ASSERT_TRUE(m.ok);
  EXPECT_EQ(m.flags, kResponse);
  EXPECT_EQ(r.probeState(), 4);
  for (const std::string& name : {kHttps, kHttp}) {
    const std::vector<DnsRecord> srv = m.find(1, kSrv, name);
    const std::vector<DnsRecord> txt = m.find(1, kTxt, name);
    ASSERT_EQ(srv.size(), 1u) << name;
    ASSERT_EQ(txt.size(), 1u) << name;
    EXPECT_EQ(srv[0].rrclass, 0x8001);
    EXPECT_EQ(txt[0].rrclass, 0x8001);
    EXPECT_EQ(txt[0].data, std::vector<uint8_t>({0}));
  }
  const std::vector<DnsRecord> ptr = m.find(1, kPtr);
  ASSERT_EQ(ptr.size(), 2u);
  EXPECT_EQ(ptr[0].name, "_https._tcp.local");
  EXPECT_EQ(ptr[0].target, kHttps);
  EXPECT_EQ(ptr[1].target, kHttp);
  EXPECT_EQ(ptr[0].rrclass, 1);
  EXPECT_EQ(ptr[0].ttl, 7200u);
  const std::vector<DnsRecord> a = m.find(1, kA, kHost);
  ASSERT_EQ(a.size(), 1u);
  EXPECT_EQ(a[0].rrclass, 0x8001);
  // Compression: the announcement is far smaller than its names spelt out.
  EXPECT_LT(announcement[0].bytes.size(), 260u);
}

TEST_F(BonjourTest, BrowseQuestionsAreAnsweredAfterRotatingDelaysWithAdditionalRecords) {
  StillClock still;  // a delay is measured from the clock read before the question
  RecordingBonjour& r = announced();
  std::vector<int64_t> delays;
  for (int i = 0; i < 4; ++i) {
    const int64_t before = uptimeCs();
    receive(DnsBuilder(0, 0).question("_http._tcp.local", kPtr).bytes());
    EXPECT_TRUE(r.take().empty());
    ASSERT_NE(r.answerDue(), 0);
    delays.push_back(r.answerDue() - before);
    EXPECT_EQ(r.sendDueAnswer(), 0);
    shiftUptimeForTesting(r.answerDue() - uptimeCs());
    EXPECT_EQ(r.sendDueAnswer(), 1);
    std::vector<Sent> answers = r.take();
    ASSERT_EQ(answers.size(), 1u);
    const DnsMessage& m = answers[0].message;
    ASSERT_TRUE(m.ok);
    ASSERT_EQ(m.find(1, kPtr).size(), 1u);
    EXPECT_EQ(m.find(1, kPtr)[0].target, kHttp);
    EXPECT_EQ(m.find(3, kSrv, kHttp).size(), 1u);
    EXPECT_EQ(m.find(3, kTxt, kHttp).size(), 1u);
    EXPECT_EQ(m.find(3, kA, kHost).size(), 1u);
    EXPECT_TRUE(m.find(1, kSrv).empty());
    EXPECT_TRUE(m.find(1, kPtr, "_https._tcp.local").empty());
    EXPECT_EQ(r.answerDue(), 0);
  }
  // Each delay of the rotation once, in turn.
  ASSERT_EQ(delays.size(), 4u);
  for (size_t i = 1; i < delays.size(); ++i) EXPECT_EQ(delays[i], delays[i - 1] % 12 + 3) << i;
}

TEST_F(BonjourTest, AKnownAnswerSuppressesOnlyWithMoreThanHalfTheTtlLeft) {
  struct Case {
    uint32_t ttl;
    bool answered;
  } cases[] = {{4000, false}, {3601, false}, {3600, true}, {3000, true}};
  for (const Case& c : cases) {
    RecordingBonjour& r = announced();
    receive(DnsBuilder(0, 0)
                .question("_http._tcp.local", kPtr)
                .record(1, "_http._tcp.local", kPtr, c.ttl, DnsBuilder::encodeName(kHttp))
                .bytes());
    shiftUptimeForTesting(12);
    r.sendDueAnswer();
    size_t ptrs = 0;
    for (const Sent& s : r.take()) ptrs += s.message.find(1, kPtr).size();
    EXPECT_EQ(ptrs, c.answered ? 1u : 0u) << c.ttl;
  }
}

TEST_F(BonjourTest, AKnownAnswerForAnotherInstanceSuppressesNothing) {
  RecordingBonjour& r = announced();
  receive(DnsBuilder(0, 0)
              .question("_http._tcp.local", kPtr)
              .record(1, "_http._tcp.local", kPtr, 4500, DnsBuilder::encodeName("Printer._http._tcp.local"))
              .bytes());
  shiftUptimeForTesting(12);
  r.sendDueAnswer();
  size_t ptrs = 0;
  for (const Sent& s : r.take()) ptrs += s.message.find(1, kPtr).size();
  EXPECT_EQ(ptrs, 1u);
}

TEST_F(BonjourTest, LegacyQueriesGetAUnicastReplyWithTheirIdAndNoCacheFlush) {
  RecordingBonjour& r = announced();
  receive(DnsBuilder(0x1234, 0x0100).question(kHost, kA).bytes(), peer(49152));
  std::vector<Sent> sent = r.take();
  ASSERT_EQ(sent.size(), 2u);
  const Sent& unicast = sent[0];
  EXPECT_EQ(unicast.to, ip("10.0.0.9"));
  EXPECT_EQ(unicast.port, 49152);
  ASSERT_TRUE(unicast.message.ok);
  EXPECT_EQ(unicast.message.id, 0x1234);
  EXPECT_EQ(unicast.message.flags, 0x8500);  // RD echoed, QR and AA set
  ASSERT_EQ(unicast.message.find(0, kA, kHost).size(), 1u);
  const std::vector<DnsRecord> a = unicast.message.find(1, kA, kHost);
  ASSERT_EQ(a.size(), 1u);
  EXPECT_EQ(a[0].rrclass, 1);
  EXPECT_EQ(a[0].data, std::vector<uint8_t>({10, 0, 0, 5}));
  const Sent& multicast = sent[1];
  EXPECT_EQ(multicast.to, ip("224.0.0.251"));
  EXPECT_EQ(multicast.message.id, 0);
  ASSERT_EQ(multicast.message.find(1, kA, kHost).size(), 1u);
  EXPECT_EQ(multicast.message.find(1, kA, kHost)[0].rrclass, 0x8001);
}

TEST_F(BonjourTest, AnswersGoOutOnTheVlanTheQuestionCameFrom) {
  RecordingBonjour& r = announced();
  MdnsSource vlan7 = peer();
  vlan7.vlan = 7;
  receive(DnsBuilder(0, 0).question(kHost, kA).bytes(), vlan7);
  std::vector<Sent> sent = r.take();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].vlan, 7);
  receive(DnsBuilder(0, 0).question("_https._tcp.local", kPtr).bytes(), vlan7);
  shiftUptimeForTesting(12);
  EXPECT_EQ(r.sendDueAnswer(), 1);
  sent = r.take();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].vlan, 7);
  EXPECT_EQ(sent[0].message.find(1, kPtr).size(), 1u);
  r.sendGoodbye();
  sent = r.take();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].vlan, -1);  // the withdrawal goes out on the main interface
}

TEST_F(BonjourTest, ATruncatedQueryWaitsForTheNextPacket) {
  RecordingBonjour& r = announced();
  receive(DnsBuilder(0, 0x0200).question(kHttp, kSrv).bytes());
  EXPECT_TRUE(r.take().empty());
  receive(DnsBuilder(0, 0).bytes());
  std::vector<Sent> sent = r.take();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].message.find(1, kSrv, kHttp).size(), 1u);
  EXPECT_EQ(sent[0].message.find(3, kA, kHost).size(), 1u);
}

TEST_F(BonjourTest, PacketsFromItselfOrWithTooManyRecordsAreIgnored) {
  RecordingBonjour& r = announced();
  receive(DnsBuilder(0, 0).question(kHost, kA).bytes(), peer(5353, "10.0.0.5"));
  receive(DnsBuilder(0, kResponse).record(1, kHttp, kSrv, 60, DnsBuilder::srvData(80, "Other.local")).bytes(),
          peer(5353, "10.0.0.5"));
  DnsBuilder many(0, 0);
  for (int i = 0; i < 101; ++i) many.question(kHost, kA);
  receive(many.bytes());
  EXPECT_TRUE(r.take().empty());
  EXPECT_EQ(r.probeState(), 4);
  EXPECT_STREQ(bonjourInstanceName(), "myHub-20D@HUB-35307");
  for (const MdnsService& s : mdnsServices) EXPECT_EQ(s.pending, 0);
  DnsBuilder hundred(0, 0);
  for (int i = 0; i < 100; ++i) hundred.question(kHost, kA);
  receive(hundred.bytes());
  EXPECT_EQ(r.take().size(), 1u);
}

TEST_F(BonjourTest, ALostServiceConflictRenamesAndTheNameIsKept) {
  setName("Office");
  RecordingBonjour& r = start();
  r.advanceProbes();
  shiftUptimeForTesting(25);
  r.advanceProbes();
  r.take();
  EXPECT_STREQ(bonjourInstanceName(), "Office (2)");
  // Another host answers for "Office (2)".
  receive(DnsBuilder(0, kResponse)
              .record(1, "Office (2)._http._tcp.local", kSrv, 120, DnsBuilder::srvData(80, "Other.local"), 0x8001)
              .bytes());
  EXPECT_STREQ(bonjourInstanceName(), "Office (3)");
  EXPECT_EQ(r.probeState(), 0);
  EXPECT_TRUE(r.take().empty());
  for (int i = 0; i < 4; ++i) {
    shiftUptimeForTesting(25);
    r.advanceProbes();
  }
  EXPECT_EQ(r.probeState(), 4);
  EXPECT_EQ(paramText("bonjour_name"), "Office (3)");
  EXPECT_NE(readFile("etc/params.dat").find("Office (3)"), std::string::npos);
  start();
  EXPECT_STREQ(bonjourInstanceName(), "Office (3)");
}

TEST_F(BonjourTest, AnIdenticalRecordIsNoConflict) {
  setName("Office");
  RecordingBonjour& r = start();
  r.advanceProbes();
  receive(DnsBuilder(0, kResponse)
              .record(1, "Office (2)._http._tcp.local", kSrv, 120, DnsBuilder::srvData(80, "hub-35307.local"), 0x8001)
              .record(1, kHost, kA, 120, {10, 0, 0, 5}, 0x8001)
              .bytes());
  EXPECT_STREQ(bonjourInstanceName(), "Office (2)");
  EXPECT_EQ(r.probeState(), 0);
  shiftUptimeForTesting(25);
  r.advanceProbes();
  EXPECT_EQ(r.probeState(), 1);
}

TEST_F(BonjourTest, AnotherAddressForTheHostNameWhileProbingRestartsTheProbes) {
  RecordingBonjour& r = start();
  r.advanceProbes();
  for (int i = 0; i < 2; ++i) {
    shiftUptimeForTesting(25);
    r.advanceProbes();
  }
  EXPECT_EQ(r.probeState(), 2);
  receive(DnsBuilder(0, kResponse).record(1, kHost, kA, 120, {10, 0, 0, 77}, 0x8001).bytes());
  EXPECT_EQ(r.probeState(), 0);
  EXPECT_STREQ(bonjourInstanceName(), "myHub-20D@HUB-35307");
}

TEST_F(BonjourTest, KnownAnswersInAQueryAreNoClaim) {
  setName("Office");
  RecordingBonjour& r = announced();
  receive(DnsBuilder(0, 0)
              .question("_http._tcp.local", kPtr)
              .record(1, "Office (2)._http._tcp.local", kSrv, 120, DnsBuilder::srvData(80, "Stale.local"))
              .bytes());
  EXPECT_STREQ(bonjourInstanceName(), "Office (2)");
  EXPECT_EQ(r.probeState(), 4);
}

TEST_F(BonjourTest, LongNamesGiveLabelsOfAtMost63Bytes) {
  const std::string sixtyFour(64, 'n');
  std::string accented;
  while (accented.size() < 64) accented += "\xc3\xa9";  // é, 32 times
  struct Case {
    std::string configured;
    std::string product;
    std::string device;
  } cases[] = {
      {sixtyFour, "myHub-20D", "HUB-35307"},
      {accented, "myHub-20D", "HUB-35307"},
      {"", std::string(100, 'p'), std::string(120, 'd')},
      {"Lab " + std::string(60, 'x') + "HUB-35307", "myHub-20D", "HUB-35307"},
  };
  for (const Case& c : cases) {
    setName(c.configured.c_str());
    std::strcpy(productParams().product_name, c.product.c_str());
    std::strcpy(productParams().default_name, c.device.c_str());
    RecordingBonjour& r = start();
    r.advanceProbes();
    for (int i = 0; i < 4; ++i) {
      shiftUptimeForTesting(25);
      r.advanceProbes();
    }
    const std::vector<Sent> sent = r.take();
    ASSERT_EQ(sent.size(), 7u);
    for (const Sent& s : sent) {
      ASSERT_TRUE(s.message.ok) << c.configured;
      for (const DnsRecord& record : s.message.records)
        for (int length : record.labelLengths) EXPECT_LE(length, 63) << record.name;
    }
    EXPECT_LE(std::strlen(bonjourInstanceName()), 63u);
    EXPECT_LE(std::strlen(r.hostLabel()), 63u);
    // A name written back is one bonjour_name takes.
    if (r.conflictCounter() != 0) {
      EXPECT_EQ(paramText("bonjour_name"), bonjourInstanceName());
    }
    // The cut name is still matched as ours.
    receive(DnsBuilder(0, 0).question(std::string(bonjourInstanceName()) + "._http._tcp.local", kSrv).bytes());
    EXPECT_EQ(r.take().size(), 1u) << c.configured;
  }
}

TEST(MdnsSourceRule, UnicastPacketsMustComeFromTheRowsSubnetOrLinkLocal) {
  struct Case {
    bool unicast;
    const char* source;
    const char* rowAddress;
    const char* rowMask;
    int onLink;
  } cases[] = {
      {false, "192.0.2.1", "10.0.0.5", "255.255.255.0", 1},  // group sockets see only the link
      {true, "10.0.0.9", "10.0.0.5", "255.255.255.0", 1},
      {true, "10.0.1.9", "10.0.0.5", "255.255.255.0", 0},
      {true, "10.0.1.9", "10.0.0.5", "255.255.0.0", 1},
      {true, "169.254.7.7", "10.0.0.5", "255.255.255.0", 1},
      {true, "10.0.0.9", "0.0.0.0", "0.0.0.0", 0},
  };
  for (const Case& c : cases) {
    MdnsSource s{};
    s.unicastSocket = c.unicast;
    s.address = ip(c.source);
    s.rowAddress = ip(c.rowAddress);
    s.rowMask = ip(c.rowMask);
    EXPECT_EQ(mdnsSourceOnLink(s), c.onLink) << c.source << " " << c.rowMask;
  }
}

TEST_F(BonjourTest, AnOffLinkUnicastQueryGetsNoAnswer) {
  RecordingBonjour& r = announced();
  MdnsSource routed = peer(49152, "192.0.2.9");
  routed.unicastSocket = true;
  routed.rowAddress = ip("10.0.0.5");
  routed.rowMask = ip("255.255.255.0");
  receive(DnsBuilder(7, 0).question(kHost, kA).bytes(), routed);
  receive(DnsBuilder(0, kResponse).record(1, kHttp, kSrv, 60, DnsBuilder::srvData(80, "Other.local")).bytes(), routed);
  EXPECT_TRUE(r.take().empty());
  EXPECT_STREQ(bonjourInstanceName(), "myHub-20D@HUB-35307");
  MdnsSource local = routed;
  local.address = ip("10.0.0.9");
  receive(DnsBuilder(7, 0).question(kHost, kA).bytes(), local);
  EXPECT_EQ(r.take().size(), 2u);
}

TEST_F(BonjourTest, MalformedMessagesMatchNothingAndLeaveNoMarks) {
  RecordingBonjour& r = announced();
  const std::vector<uint8_t> question = DnsBuilder(0, 0).question(kHost, kA).bytes();
  auto header = [](uint16_t questions, uint16_t answers) {
    return std::vector<uint8_t>{0, 0, 0, 0, 0, static_cast<uint8_t>(questions), 0, static_cast<uint8_t>(answers), 0, 0, 0, 0};
  };
  auto with = [](std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  };
  const std::vector<uint8_t> hostQuestion(question.begin() + 12, question.end());
  const std::vector<std::vector<uint8_t>> cases = {
      with(header(1, 0), {0xC0, 12, 0, 1, 0, 1}),                         // pointer to itself
      with(header(2, 0), with(hostQuestion, {0xC0, 33, 0, 1, 0, 1})),       // forward pointer (to its own target)
      with(header(1, 0), {0xC0, 40, 0, 1, 0, 1}),                         // pointer past the end
      with(header(1, 0), {9, 'H', 'U', 'B'}),                             // label leaves the packet
      with(header(1, 0), {0x40, 'x', 0, 0, 1, 0, 1}),                     // reserved label type
      with(header(2, 0), hostQuestion),                                   // counts beyond the records
      with(header(0, 1), with(DnsBuilder::encodeName(kHost), {0, 1, 0, 1, 0, 0, 0, 60, 0, 9, 10})),  // data past the end
      with(header(1, 0), {9}),
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    receive(cases[i]);
    EXPECT_TRUE(r.take().empty()) << i;
    for (const MdnsService& s : mdnsServices) EXPECT_EQ(s.pending, 0) << i;
  }
  // Two pointers in a cycle, the second placed after the first.
  std::vector<uint8_t> cycle = with(header(1, 0), {0xC0, 14, 0xC0, 12, 0, 1, 0, 1});
  receive(cycle);
  EXPECT_TRUE(r.take().empty());
  receive(question);
  EXPECT_EQ(r.take().size(), 1u);
}

TEST_F(BonjourTest, GoodbyeWithdrawsThePointersWithTtlZero) {
  RecordingBonjour& r = announced();
  r.sendGoodbye();
  std::vector<Sent> sent = r.take();
  ASSERT_EQ(sent.size(), 1u);
  const std::vector<DnsRecord> ptr = sent[0].message.find(1, kPtr);
  ASSERT_EQ(ptr.size(), 2u);
  for (const DnsRecord& record : ptr) EXPECT_EQ(record.ttl, 0u);
  EXPECT_EQ(r.conflictCounter(), 0);
}

TEST(DnsNameReader, FollowsOnlyBackwardPointersAndStaysInBounds) {
  // "a.b" at 12, then "c" + pointer to 12 at 17.
  const std::vector<uint8_t> message = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 'a', 1, 'b', 0, 1, 'c', 0xC0, 12};
  size_t cursor = 17;
  DnsName name;
  ASSERT_EQ(readDnsName(message.data(), message.size(), &cursor, &name), 1);
  EXPECT_EQ(cursor, message.size());
  ASSERT_EQ(name.count, 3);
  EXPECT_TRUE(name.labelIs(0, "C"));
  EXPECT_TRUE(name.labelIs(2, "b"));
  // The same bytes cut short.
  cursor = 17;
  EXPECT_EQ(readDnsName(message.data(), message.size() - 1, &cursor, &name), 0);
  // A chain of 33 backward pointers is refused, 32 are followed.
  for (int pointers : {32, 33}) {
    std::vector<uint8_t> chain(12, 0);
    chain.push_back(0);
    for (int i = 0; i < pointers; ++i) {
      const size_t target = chain.size() - (i == 0 ? 1 : 2);
      chain.push_back(static_cast<uint8_t>(0xC0 | target >> 8));
      chain.push_back(static_cast<uint8_t>(target));
    }
    cursor = chain.size() - 2;
    EXPECT_EQ(readDnsName(chain.data(), chain.size(), &cursor, &name), pointers <= 32 ? 1 : 0) << pointers;
  }
  // Names longer than 256 bytes.
  std::vector<uint8_t> longName(12, 0);
  for (int i = 0; i < 5; ++i) {
    longName.push_back(63);
    longName.insert(longName.end(), 63, 'x');
  }
  longName.push_back(0);
  cursor = 12;
  EXPECT_EQ(readDnsName(longName.data(), longName.size(), &cursor, &name), 0);
}

}  // namespace

namespace {

TEST_F(BonjourTest, TsharkFindsNothingWrongInAnyPacketSent) {
  if (!tsharkAvailable()) GTEST_SKIP() << "tshark not installed";
  setName("Office");
  RecordingBonjour& r = start();
  std::vector<std::vector<uint8_t>> packets;
  auto keep = [&] {
    for (const Sent& s : r.take()) packets.push_back(s.bytes);
  };
  r.advanceProbes();
  for (int i = 0; i < 4; ++i) {
    shiftUptimeForTesting(25);
    r.advanceProbes();
  }
  keep();
  receive(DnsBuilder(0, 0).question("_https._tcp.local", kPtr).question(kHost, kA).bytes());
  shiftUptimeForTesting(12);
  r.sendDueAnswer();
  receive(DnsBuilder(0x77, 0x0100).question("_http._tcp.local", kPtr).bytes(), peer(49152));
  receive(DnsBuilder(0, 0).question("Office (2)._http._tcp.local", kAny).bytes());
  shiftUptimeForTesting(12);
  r.sendDueAnswer();
  r.sendGoodbye();
  keep();
  ASSERT_EQ(packets.size(), 11u);
  EXPECT_EQ(tsharkProblems(packets, 5353, 5353), "");
  const std::string dissection = tsharkDissection(packets, 5353, 5353);
  EXPECT_NE(dissection.find("Office (2)._http._tcp.local: type SRV"), std::string::npos);
  EXPECT_NE(dissection.find("HUB-35307.local: type A, class IN, cache flush"), std::string::npos);
}

}  // namespace
