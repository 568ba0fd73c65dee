// Reading the private MIB through an agent in the test process with
// Debian's snmpget, snmpgetnext and snmpwalk: single objects, the edge
// cases of the table and a walk of the whole subtree compared with the
// parameter store of a model.
#include <arpa/inet.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <thread>
#include <map>
#include <string>
#include <vector>

#include "params/identity/productparams.h"
#include "params/store/paramstore.h"
#include "params/types/param.h"
#include "params/types/paramflags.h"
#include "snmp/support/snmp_test_agent.h"

// Before the library headers, whose macros clash with its names.
#include "usbserver/devices/usbdevicetable.h"

#include "snmp/automib.h"
#include "snmp/privatemib.h"
#include "snmp/systemgroup.h"

namespace {

const std::string kPrivate = ".1.3.6.1.4.1.32473";
const char kNoSuchInstance[] = "No Such Instance currently exists at this OID";
const char kNoSuchObject[] = "No Such Object available on this agent at this OID";

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
      {kPrivate + ".2.1.999.0", kNoSuchObject, ""},       // no object of that name
      {kPrivate + ".2", kNoSuchObject, ""},
      {kPrivate + ".2.50.1.0", "INTEGER", "20"},          // an object holding another
      {kPrivate + ".2.50.1.1.0", "INTEGER", "20"},        // the one it holds
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

// A text read while another thread changes it comes back whole: the
// answer is a copy made under the parameter's lock, never a pointer into a
// text that the change frees.
TEST_F(PrivateMibRead, ReadsDuringChangesAnswerWholeTexts) {
  const std::string first(60, 'a');
  const std::string second(3, 'b');
  std::atomic<bool> stop{false};
  Param* contact = paramStore.find("sys_contact");
  ASSERT_NE(contact, nullptr);
  std::thread writer([&] {
    for (int i = 0; !stop.load(); ++i) contact->set(i % 2 ? first.c_str() : second.c_str());
  });
  for (int i = 0; i < 20; ++i) {
    SnmpAnswer a = getOne(kPrivate + ".2.1.21.0");
    EXPECT_TRUE(a.value == hexOf(first) || a.value == hexOf(second)) << a.type << ": " << a.value;
  }
  stop = true;
  writer.join();
  contact->clearModified();
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

// GETNEXT in name order across the objects: from before the first, past a
// name no object holds, into an object held by another and out of it, from
// the system group's object into the generated table's, and past the end.
TEST_F(PrivateMibRead, GetNextFollowsNameOrderAcrossObjects) {
  struct Case {
    std::string from;
    std::string next;
  } cases[] = {
      {kPrivate, kPrivate + ".1.1.0"},
      {kPrivate + ".1.1.0", kPrivate + ".2.1.1.0"},
      {kPrivate + ".2.1.999.0", kPrivate + ".2.2.1.0"},
      {kPrivate + ".2.50.1", kPrivate + ".2.50.1.0"},
      {kPrivate + ".2.50.1.0", kPrivate + ".2.50.1.1.0"},
      {kPrivate + ".2.50.1.1.0", kPrivate + ".2.50.2.1.1.1.0"},
      {kPrivate + ".2.50.1.2", kPrivate + ".2.50.2.1.1.1.0"},
  };
  for (const Case& c : cases) {
    std::vector<SnmpAnswer> a = parseAnswers(snmpTool("snmpgetnext", "-v2c", c.from).output);
    ASSERT_EQ(a.size(), 1u) << c.from;
    EXPECT_EQ(a[0].oid, c.next) << c.from;
  }
  std::vector<SnmpAnswer> last = parseAnswers(snmpTool("snmpgetnext", "-v2c", kPrivate + ".3").output);
  ASSERT_EQ(last.size(), 1u);
  EXPECT_NE(last[0].oid.compare(0, kPrivate.size() + 1, kPrivate + "."), 0) << last[0].oid;
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

class PrivateMibWalk : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override { startOn(GetParam()); }
};

TEST_P(PrivateMibWalk, EqualsTheParameterStoreOfTheModel) {
  CommandResult r = snmpTool("snmpwalk", "-v2c", kPrivate);
  ASSERT_EQ(r.status, 0) << r.output;
  WalkComparison c = compareWalkWithStore(r.output, true);
  EXPECT_TRUE(c.differences.empty()) << ::testing::PrintToString(c.differences);
  EXPECT_GT(c.parameterObjects, 100u);
}

// GETBULK reaches the objects through the library's conversion to GETNEXT.
TEST_F(PrivateMibRead, BulkWalkEqualsTheWalk) {
  CommandResult walk = snmpTool("snmpwalk", "-v2c", kPrivate);
  CommandResult bulk = snmpTool("snmpbulkwalk", "-v2c -Cr25", kPrivate);
  ASSERT_EQ(walk.status, 0) << walk.output;
  ASSERT_EQ(bulk.status, 0) << bulk.output;
  EXPECT_EQ(bulk.output, walk.output);
  EXPECT_GT(parseAnswers(walk.output).size(), 700u);
}

INSTANTIATE_TEST_SUITE_P(Models, PrivateMibWalk, ::testing::Values("p353", "p345", "p365"));

}  // namespace
