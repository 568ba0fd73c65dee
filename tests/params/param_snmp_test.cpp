// The SNMP write protocol of the parameter classes.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "params/types/param.h"
#include "params/types/paramflags.h"
#include "params/types/snmpset.h"

namespace {

const ParamLimits kPercent = {0, 100};
const ParamLimits kName = {0, 64};
const ParamLimits kTwo = {2, 2};

const ChoiceRow kRows[] = {
    {"optgroup", "UTC+1:00", ""},
    {"fix", "Fixed", ""},
    {"stat", "Status", ""},
    {"eve", "Events", ""},
};
constexpr int kRowCount = 4;

IpAddress ip4(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  IpAddress address;
  address.fromIp4Bytes(a, b, c, d);
  return address;
}

// A value as the agent hands it over.
struct SnmpValue {
  int type;
  std::string bytes;
  const uint8_t* data() const { return reinterpret_cast<const uint8_t*>(bytes.data()); }
};

SnmpValue integer(long v) { return {SNMP_TYPE_INTEGER, std::string(reinterpret_cast<const char*>(&v), sizeof v)}; }
SnmpValue gauge(long v) { return {SNMP_TYPE_GAUGE32, std::string(reinterpret_cast<const char*>(&v), sizeof v)}; }
SnmpValue int32(int32_t v) { return {SNMP_TYPE_INTEGER, std::string(reinterpret_cast<const char*>(&v), sizeof v)}; }
SnmpValue octets(const std::string& s) { return {SNMP_TYPE_OCTET_STRING, s}; }
SnmpValue ipAddress(const std::string& s) { return {SNMP_TYPE_IPADDRESS, s}; }

int reserve(Param& p, const SnmpValue& v) { return p.setBySnmp(SNMP_RESERVE1, v.data(), v.type, v.bytes.size()); }

void runPhase(Param& p, int action, const SnmpValue& v) {
  ASSERT_EQ(SNMP_NO_ERROR, p.setBySnmp(action, v.data(), v.type, v.bytes.size())) << p.key() << " action " << action;
}

// ---- RESERVE1 checks ------------------------------------------------------

struct ReserveCase {
  const char* what;
  std::function<Param*()> make;
  SnmpValue value;
  int expect;
};

TEST(ParamSnmpTest, Reserve1ChecksTypeLengthAndValueInOrder) {
  auto intParam = [] { return new IntParam("n", KIND_RANGED, &kPercent, 0, 5); };
  auto anyInt = [] { return new IntParam("n", KIND_ANY, nullptr, 0, 5); };
  auto onOff = [] { return new OnOffParam("sw", 0, 0); };
  auto list = [] { return new P3List("list", "fix", kRowCount, kRows, 0); };
  auto textList = [] { return new P3List("ntp_tzone", "fix", kRowCount, kRows, PF_SNMP_TEXT); };
  auto text = [] { return new StringParam("s", "", &kName, 0); };
  auto display = [] { return new StringParam("disp_def", "DS", &kTwo, 0); };
  auto mac = [] { return new MacParam("mac", nullptr, KIND_ANY, nullptr, 0); };
  auto ip = [] { return new Ip4Param("ip", ip4(1, 2, 3, 4), KIND_ANY, nullptr, 0); };
  auto ip6 = [] { return new Ip6Address("ip6", "::", KIND_ANY, nullptr, 0); };
  const std::string maxIp6 = "ffff:ffff:ffff:ffff:ffff:ffff:255.255.255.255";  // 45 characters
  const ReserveCase cases[] = {
      {"int ok", intParam, integer(100), SNMP_NO_ERROR},
      {"int gauge ok", intParam, gauge(0), SNMP_NO_ERROR},
      {"int 4 bytes", intParam, int32(7), SNMP_NO_ERROR},
      {"int octets", intParam, octets("5"), SNMP_WRONG_TYPE},
      {"int too long", intParam, {SNMP_TYPE_INTEGER, std::string(sizeof(long) + 1, '\0')}, SNMP_WRONG_LENGTH},
      {"int out of range", intParam, integer(101), SNMP_WRONG_VALUE},
      {"int negative", intParam, integer(-1), SNMP_WRONG_VALUE},
      {"int no range", anyInt, integer(-99999), SNMP_NO_ERROR},
      {"switch 2", onOff, integer(2), SNMP_WRONG_VALUE},
      {"switch 1", onOff, integer(1), SNMP_NO_ERROR},
      {"list row", list, integer(3), SNMP_NO_ERROR},
      {"list -1", list, integer(-1), SNMP_WRONG_VALUE},
      {"list count", list, integer(kRowCount), SNMP_WRONG_VALUE},
      {"list heading", list, integer(0), SNMP_WRONG_VALUE},
      {"list octets", list, octets("fix"), SNMP_WRONG_TYPE},
      {"text list key", textList, octets("stat"), SNMP_NO_ERROR},
      {"text list case", textList, octets("STAT"), SNMP_WRONG_VALUE},
      {"text list heading", textList, octets("optgroup"), SNMP_WRONG_VALUE},
      {"text list NUL", textList, octets(std::string("stat\0x", 6)), SNMP_WRONG_VALUE},
      {"text list integer", textList, integer(1), SNMP_WRONG_TYPE},
      {"string ok", text, octets("hello"), SNMP_NO_ERROR},
      {"string empty", text, octets(""), SNMP_NO_ERROR},
      {"string integer", text, integer(1), SNMP_WRONG_TYPE},
      {"string too long", text, octets(std::string(65, 'a')), SNMP_WRONG_LENGTH},
      {"string LF", text, octets("a\nb"), SNMP_WRONG_VALUE},
      {"string CR", text, octets("ab\r"), SNMP_WRONG_VALUE},
      {"string NUL", text, octets(std::string("a\0b", 3)), SNMP_WRONG_VALUE},
      {"string blank", text, octets("ab "), SNMP_WRONG_VALUE},
      {"display ok", display, octets("A1"), SNMP_NO_ERROR},
      {"display error code", display, octets("E3"), SNMP_WRONG_VALUE},
      {"display length", display, octets("ABC"), SNMP_WRONG_LENGTH},
      {"mac ok", mac, octets(std::string("\x00\x11\x22\x33\x44\x55", 6)), SNMP_NO_ERROR},
      {"mac short", mac, octets("12345"), SNMP_WRONG_LENGTH},
      {"mac type", mac, ipAddress("1234"), SNMP_WRONG_TYPE},
      {"ip ok", ip, ipAddress(std::string("\x0a\x00\x00\x01", 4)), SNMP_NO_ERROR},
      {"ip three bytes", ip, ipAddress(std::string("\x0a\x00\x00", 3)), SNMP_WRONG_LENGTH},
      {"ip five bytes", ip, ipAddress(std::string("\x0a\x00\x00\x01\x02", 5)), SNMP_WRONG_LENGTH},
      {"ip octets", ip, octets(std::string("\x0a\x00\x00\x01", 4)), SNMP_WRONG_TYPE},
      {"ip6 ok", ip6, octets("2001:db8::1"), SNMP_NO_ERROR},
      {"ip6 garbage", ip6, octets("2001:zz8::1"), SNMP_WRONG_TYPE},
      {"ip6 long garbage before length", ip6, octets(std::string(80, 'a')), SNMP_WRONG_TYPE},
      {"ip6 NUL", ip6, octets(std::string("::1\0", 4)), SNMP_WRONG_TYPE},
      {"ip6 valid but long", ip6, octets(maxIp6), SNMP_WRONG_LENGTH},
      {"ip6 integer", ip6, integer(1), SNMP_WRONG_TYPE},
  };
  for (const ReserveCase& c : cases) {
    SCOPED_TRACE(c.what);
    std::unique_ptr<Param> p(c.make());
    EXPECT_EQ(c.expect, reserve(*p, c.value));
    EXPECT_FALSE(p->isModified());
  }
}

TEST(ParamSnmpTest, HiddenAndNoSnmpParametersAreNoSuchName) {
  IntParam hidden("n", KIND_ANY, nullptr, PF_HIDDEN, 0);
  StringParam noSnmp("s", "", &kName, PF_NOSNMP);
  P3List hiddenList("l", "fix", kRowCount, kRows, PF_HIDDEN | PF_SNMP_TEXT);
  Ip4Param hiddenIp("ip", ip4(0, 0, 0, 0), KIND_ANY, nullptr, PF_NOSNMP);
  EXPECT_EQ(SNMP_NO_SUCH_NAME, reserve(hidden, integer(1)));
  EXPECT_EQ(SNMP_NO_SUCH_NAME, reserve(noSnmp, octets("x")));
  EXPECT_EQ(SNMP_NO_SUCH_NAME, reserve(hiddenList, octets("fix")));
  EXPECT_EQ(SNMP_NO_SUCH_NAME, reserve(hiddenIp, ipAddress("abcd")));
}

class BareParam : public Param {
 public:
  BareParam() : Param("bare", KIND_ANY, 0) {}
  ParamClass paramClass() const override { return ParamClass::Int; }
  int validate(const char*) const override { return 1; }
  int format(char* b, int) const override {
    b[0] = 0;
    return 0;
  }
  int print(FILE*) const override { return 0; }
  int assign(const char*, int) override { return 1; }
  int hasValue() const override { return 0; }
};

TEST(ParamSnmpTest, BaseClassAnswersNoAccess) {
  BareParam p;
  testing::internal::CaptureStdout();
  EXPECT_EQ(SNMP_NO_ACCESS, p.setBySnmp(SNMP_RESERVE1, nullptr, SNMP_TYPE_INTEGER, 0));
  EXPECT_EQ(SNMP_NO_ACCESS, p.setBySnmp(SNMP_UNDO, nullptr, SNMP_TYPE_INTEGER, 0));
  EXPECT_EQ("ERROR: Call base Param class setBySnmp function ?!\n"
            "ERROR: Call base Param class setBySnmp function ?!\n",
            testing::internal::GetCapturedStdout());
}

// ---- ACTION and UNDO on two parameters of one class -----------------------

struct PairCase {
  const char* what;
  std::function<Param*(const char* key)> make;
  SnmpValue first;
  SnmpValue second;
};

TEST(ParamSnmpTest, UndoRestoresEveryParameterOfOneRequest) {
  const PairCase cases[] = {
      {"int", [](const char* k) { return new IntParam(k, KIND_RANGED, &kPercent, 0, 5); }, integer(10), integer(20)},
      {"switch", [](const char* k) { return new OnOffParam(k, 0, 0); }, integer(1), integer(1)},
      {"list", [](const char* k) { return new P3List(k, "fix", kRowCount, kRows, 0); }, integer(2), integer(3)},
      {"text list", [](const char* k) { return new P3List(k, "fix", kRowCount, kRows, PF_SNMP_TEXT); },
       octets("stat"), octets("eve")},
      {"string", [](const char* k) { return new StringParam(k, "old", &kName, 0); }, octets("new one"),
       octets("new two")},
      {"empty string", [](const char* k) { return new StringParam(k, "", &kName, 0); }, octets("filled"),
       octets("filled too")},
      {"mac", [](const char* k) { return new MacParam(k, nullptr, KIND_ANY, nullptr, 0); },
       octets(std::string("\x00\x11\x22\x33\x44\x55", 6)), octets(std::string("\x66\x77\x88\x99\xaa\xbb", 6))},
      {"ip", [](const char* k) { return new Ip4Param(k, ip4(1, 2, 3, 4), KIND_ANY, nullptr, 0); },
       ipAddress(std::string("\x0a\x00\x00\x01", 4)), ipAddress(std::string("\x0a\x00\x00\x02", 4))},
      {"ip6", [](const char* k) { return new Ip6Address(k, "fe80::1", KIND_ANY, nullptr, 0); },
       octets("2001:db8::1"), octets("2001:db8::2")},
  };
  for (const PairCase& c : cases) {
    SCOPED_TRACE(c.what);
    std::unique_ptr<Param> a(c.make("a")), b(c.make("b"));
    const std::string beforeA = a->savedText(), beforeB = b->savedText();
    // The agent runs each phase over every variable of the request.
    ASSERT_EQ(SNMP_NO_ERROR, reserve(*a, c.first));
    ASSERT_EQ(SNMP_NO_ERROR, reserve(*b, c.second));
    runPhase(*a, SNMP_RESERVE2, c.first);
    runPhase(*b, SNMP_RESERVE2, c.second);
    runPhase(*a, SNMP_ACTION, c.first);
    runPhase(*b, SNMP_ACTION, c.second);
    EXPECT_NE(beforeA, a->savedText());
    EXPECT_NE(beforeB, b->savedText());
    EXPECT_TRUE(a->isModified());
    EXPECT_TRUE(b->isModified());
    runPhase(*a, SNMP_UNDO, c.first);
    runPhase(*b, SNMP_UNDO, c.second);
    EXPECT_EQ(beforeA, a->savedText());
    EXPECT_EQ(beforeB, b->savedText());
    EXPECT_FALSE(a->isModified());
    EXPECT_FALSE(b->isModified());
    runPhase(*a, SNMP_FREE, c.first);
    runPhase(*b, SNMP_FREE, c.second);
  }
}

TEST(ParamSnmpTest, ActionStoresTheValue) {
  IntParam n("n", KIND_RANGED, &kPercent, 0, 5);
  runPhase(n, SNMP_ACTION, integer(42));
  EXPECT_EQ(42, n.value());
  runPhase(n, SNMP_ACTION, int32(43));
  EXPECT_EQ(43, n.value());

  Ip4Param ip("ip", ip4(1, 2, 3, 4), KIND_ANY, nullptr, 0);
  runPhase(ip, SNMP_ACTION, ipAddress(std::string("\xc0\xa8\x01\x02", 4)));
  EXPECT_EQ("192.168.1.2", ip.savedText());

  StringParam secret("pwd", "", &kName, PF_SECRET);
  runPhase(secret, SNMP_ACTION, octets("hunter22"));
  EXPECT_EQ("hunter22", secret.getText());
  runPhase(secret, SNMP_ACTION, octets("****"));  // the masked form keeps the value
  EXPECT_EQ("hunter22", secret.getText());
}

}  // namespace
