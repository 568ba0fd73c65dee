// Reading the private MIB through an agent in the test process with
// Debian's snmpget, snmpgetnext and snmpwalk: single objects, the edge
// cases of the table and a walk of the whole subtree compared with the
// parameter store of a model.
#include <arpa/inet.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "params/param.h"
#include "params/paramflags.h"
#include "params/paramstore.h"
#include "params/productparams.h"
#include "snmp/support/snmp_test_agent.h"

// Before the library headers, whose macros clash with its names.
#include "usbserver/usbdevicetable.h"

#include "snmp/automib.h"
#include "snmp/privatemib.h"

namespace {

const std::string kPrivate = ".1.3.6.1.4.1.32473";
const char kNoSuchInstance[] = "No Such Instance currently exists at this OID";

void startOn(const std::string& model) {
  std::string reason;
  if (!useModel(model, &reason)) GTEST_SKIP() << reason;
  if (!startTestAgent(&reason)) GTEST_SKIP() << reason;
}

class PrivateMibRead : public ::testing::Test {
 protected:
  void SetUp() override { startOn("p353"); }
};

SnmpAnswer getOne(const std::string& oid) {
  CommandResult r = snmpTool("snmpget", "-v2c", oid);
  std::vector<SnmpAnswer> a = parseAnswers(r.output);
  if (a.size() != 1) return SnmpAnswer{oid, "(no answer) " + r.output, ""};
  return a[0];
}

void setText(const char* key, const char* text) {
  Param* p = paramStore.find(key);
  ASSERT_NE(p, nullptr) << key;
  ASSERT_NE(p->set(text), 0) << key << " = " << text;
  p->clearModified();
}

std::string hexOf(const std::string& bytes) {
  std::string out;
  char b[4];
  for (unsigned char c : bytes) {
    std::snprintf(b, sizeof b, "%s%02X", out.empty() ? "" : " ", c);
    out += b;
  }
  return out;
}

TEST_F(PrivateMibRead, SingleObjectsAnswerAsTheTableSays) {
  setText("smtp_pwd", "");
  setText("pop3_pwd", "secret");
  setText("ntp_tzone", "CET/CEST (EU)");
  setText("protection_test", "test");
  struct Case {
    std::string oid;
    std::string type;
    std::string value;
  } cases[] = {
      {kPrivate + ".2.43.2.1.1.7.0", "INTEGER", "7"},
      {kPrivate + ".2.43.1.1.0", "INTEGER", "20"},
      {kPrivate + ".2.40.10.1.0", "INTEGER", "8"},
      {kPrivate + ".2.1.22.0", kNoSuchInstance, ""},      // language: never over SNMP
      {kPrivate + ".2.5.1.1", kNoSuchInstance, ""},       // wrong instance
      {kPrivate + ".2.11.40.0", kNoSuchInstance, ""},     // wifi: hidden without WLAN
      {kPrivate + ".2.50.2.1.21.40.0", "STRING", "-"},    // slot 40 exists on this model
      {kPrivate + ".2.25.8.14.0", "STRING", ""},          // empty secret: empty
      {kPrivate + ".2.25.8.8.0", "STRING", "****"},       // set secret: masked
      {kPrivate + ".2.21.5.0", "STRING", "CET/CEST (EU)"},  // the time zone by its key
      {kPrivate + ".2.40.2.0", "INTEGER", "2"},           // other lists by row from 0
      {kPrivate + ".2.8.1.0", "INTEGER", "0"},            // control object
      {kPrivate + ".2.8.1.3", kNoSuchInstance, ""},
      {".1.3.6.1.2.1.43.5.1.1.3.1", "INTEGER", "3"},     // prtGeneralReset
      {".1.3.6.1.2.1.43.5.1.1.3.2", kNoSuchInstance, ""},
  };
  for (const Case& c : cases) {
    SnmpAnswer a = getOne(c.oid);
    if (c.type == "STRING") {
      // Strings come in hex (an empty one as an empty STRING).
      EXPECT_EQ(a.type, c.value.empty() ? "STRING" : "Hex-STRING") << c.oid;
      EXPECT_EQ(a.value, hexOf(c.value)) << c.oid;
    } else {
      EXPECT_EQ(a.type, c.type) << c.oid;
      EXPECT_EQ(a.value, c.value) << c.oid;
    }
  }
}

TEST_F(PrivateMibRead, GetNextWalksOverARowWithoutObject) {
  // From 2.50.12 the next object is disp_erVals at .0, then beepPwr at
  // 2.50.13.0 (beepLnk's row shares that name and has no object).
  setText("beepPwr", "on");
  CommandResult r = snmpTool("snmpgetnext", "-v2c", kPrivate + ".2.50.12 " + kPrivate + ".2.50.12.0");
  std::vector<SnmpAnswer> a = parseAnswers(r.output);
  ASSERT_EQ(a.size(), 2u) << r.output;
  EXPECT_EQ(a[0].oid, kPrivate + ".2.50.12.0");
  EXPECT_EQ(a[1].oid, kPrivate + ".2.50.13.0");
  EXPECT_EQ(a[1].type, "INTEGER");
  EXPECT_EQ(a[1].value, "1");
}

TEST_F(PrivateMibRead, SystemGroupAnswersTheIdentityFiles) {
  struct Case {
    std::string name;
    std::string type;
    std::string value;
  } cases[] = {
      {"1.1.0", "STRING", "ORV myHub-20D; version 5.2.7"},
      {"2.1.2.0", "STRING", "HUB-35307"},
      {"2.1.3.0", "Hex-STRING", "02 00 5E 03 35 07"},
      {"2.1.4.0", "INTEGER", "353"},
      {"2.1.5.0", "INTEGER", "353"},
      {"2.1.6.0", "INTEGER", "12"},
      {"2.1.7.0", "INTEGER", "160"},
      {"2.1.8.0", "INTEGER", "3"},
      {"2.1.9.0", "INTEGER", "106"},
      {"2.1.10.0", "INTEGER", "2023"},
      {"2.1.11.0", "INTEGER", "5"},
      {"2.1.12.0", "INTEGER", "5"},
      {"2.1.13.0", "INTEGER", "2"},
      {"2.1.14.0", "INTEGER", "7"},
      {"2.1.16.0", "INTEGER", "1"},
      {"2.1.17.0", "INTEGER", "2"},
      {"2.1.33.0", "INTEGER", "11"},
      {"2.2.1.0", "INTEGER", "20"},
  };
  for (const Case& c : cases) {
    SnmpAnswer a = getOne(kPrivate + "." + c.name);
    if (c.type == "STRING") {
      EXPECT_EQ(a.type, "Hex-STRING") << c.name;  // -Ox
      EXPECT_EQ(a.value, hexOf(c.value)) << c.name;
    } else {
      EXPECT_EQ(a.type, c.type) << c.name;
      EXPECT_EQ(a.value, c.value) << c.name;
    }
  }
}

// What a walk must show for a parameter, worked out from its saved text.
bool expectedAnswer(Param* p, SnmpAnswer* out) {
  const std::string text = p->savedText();
  switch (p->paramClass()) {
    case ParamClass::OnOff:
      out->type = "INTEGER";
      out->value = text == "on" ? "1" : "0";
      return true;
    case ParamClass::Int:
      out->type = "INTEGER";
      out->value = text;
      return true;
    case ParamClass::Choice: {
      if (text.empty()) return false;
      if (p->hasFlags(PF_SNMP_TEXT)) {
        out->type = "Hex-STRING";
        out->value = hexOf(text);
        return true;
      }
      P3List* list = static_cast<P3List*>(p);
      out->type = "INTEGER";
      out->value = std::to_string(list->findKey(text.c_str()));
      return true;
    }
    case ParamClass::String:
      out->type = "Hex-STRING";
      out->value = hexOf(p->hasFlags(PF_SECRET) && !text.empty() ? "****" : text);
      return true;
    case ParamClass::Mac: {
      out->type = "Hex-STRING";
      unsigned m[6];
      if (std::sscanf(text.c_str(), "%x:%x:%x:%x:%x:%x", &m[0], &m[1], &m[2], &m[3], &m[4], &m[5]) != 6)
        return false;
      std::string bytes;
      for (unsigned b : m) bytes += static_cast<char>(b);
      out->value = hexOf(bytes);
      return true;
    }
    case ParamClass::Ip4:
      out->type = "IpAddress";
      out->value = text;
      return true;
    case ParamClass::Ip6: {
      unsigned char raw[16];
      out->type = "Hex-STRING";
      if (inet_pton(AF_INET6, text.c_str(), raw) == 1) {
        out->value = hexOf(std::string(reinterpret_cast<char*>(raw), 16));
        return true;
      }
      if (inet_pton(AF_INET, text.c_str(), raw) == 1) {
        out->value = hexOf(std::string(reinterpret_cast<char*>(raw), 4));
        return true;
      }
      return false;
    }
  }
  return false;
}

std::string oidOf(const OrvMibVariable& v) {
  std::string s = kPrivate;
  for (int i = 0; i < v.namelen; ++i) s += "." + std::to_string(v.name[i]);
  return s + ".0";
}

// Compares OID texts as sequences of numbers.
bool oidLess(const std::string& a, const std::string& b) {
  std::vector<unsigned long> x, y;
  for (auto* p : {&a, &b}) {
    auto& v = p == &a ? x : y;
    size_t i = 1;
    while (i < p->size()) {
      size_t j = p->find('.', i);
      if (j == std::string::npos) j = p->size();
      v.push_back(std::stoul(p->substr(i, j - i)));
      i = j + 1;
    }
  }
  return x < y;
}

class PrivateMibWalk : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override { startOn(GetParam()); }
};

TEST_P(PrivateMibWalk, EqualsTheParameterStoreOfTheModel) {
  // Expected: every visible parameter of the table, the index and count
  // objects and the identity objects.
  std::map<std::string, SnmpAnswer> expected;
  for (const OrvMibVariable& v : autoMibVariables) {
    const AutoMibParamRow* row = autoMibParamRow(v.magic);
    SnmpAnswer a;
    a.oid = oidOf(v);
    if (row == nullptr) {
      a.type = "INTEGER";
      a.value = std::to_string(v.magic);
    } else {
      if (!row->hasObject) continue;
      Param* p = paramStore.find(row->key);
      if (p == nullptr || p->hasFlags(PF_NOSNMP) || !expectedAnswer(p, &a)) continue;
    }
    expected[a.oid] = a;
  }
  const size_t identityObjects = kSystemGroupVariableCount;

  CommandResult r = snmpTool("snmpwalk", "-v2c", kPrivate);
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(r.output.find("not increasing"), std::string::npos);
  std::vector<SnmpAnswer> walk = parseAnswers(r.output);
  size_t matched = 0, identity = 0;
  for (size_t i = 0; i < walk.size(); ++i) {
    const SnmpAnswer& a = walk[i];
    if (i > 0) {
      EXPECT_TRUE(oidLess(walk[i - 1].oid, a.oid)) << walk[i - 1].oid << " then " << a.oid;
    }
    auto it = expected.find(a.oid);
    if (it == expected.end()) {
      // Only the identity objects answer beside the table.
      bool isIdentity = a.oid.rfind(kPrivate + ".1.1.", 0) == 0 || a.oid.rfind(kPrivate + ".2.1.", 0) == 0 ||
                        a.oid.rfind(kPrivate + ".2.2.1.", 0) == 0 || a.oid.rfind(kPrivate + ".2.8.1.", 0) == 0;
      EXPECT_TRUE(isIdentity) << "unexpected " << a.oid << " " << a.type << ": " << a.value;
      identity += isIdentity;
      continue;
    }
    std::string type = a.type == "STRING" ? "Hex-STRING" : a.type;  // "" prints as an empty STRING
    EXPECT_EQ(type, it->second.type) << a.oid;
    EXPECT_EQ(a.value, it->second.value) << a.oid;
    ++matched;
  }
  EXPECT_EQ(matched, expected.size()) << "every visible parameter answers";
  EXPECT_EQ(identity, identityObjects);
}

INSTANTIATE_TEST_SUITE_P(Models, PrivateMibWalk, ::testing::Values("p353", "p345", "p365"));

}  // namespace
