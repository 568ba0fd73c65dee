// The generated table of the private MIB against the numbers it must meet
// and against the parameter table it is made from.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "params/store/paramstore.h"
#include "params/types/param.h"
#include "params/types/paramflags.h"
#include "snmp/automib.h"

namespace {

std::string nameOf(const OrvMibVariable& v) {
  std::string s;
  for (int i = 0; i < v.namelen; ++i) s += (i ? "." : "") + std::to_string(v.name[i]);
  return s;
}

bool isParamRow(const OrvMibVariable& v) { return autoMibParamRow(v.magic) != nullptr; }

TEST(AutoMibTable, HasTheRowsAndNumbersOfTheMib) {
  int paramRows = 0, valueRows = 0, readWrite = 0, readOnly = 0;
  unsigned expectedNumber = kAutoMibFirstParamNumber;
  for (const OrvMibVariable& v : autoMibVariables) {
    EXPECT_EQ(v.findVar, findAutoMibVariable);
    EXPECT_GE(v.namelen, 3);
    EXPECT_LE(v.namelen, 6);
    if (isParamRow(v)) {
      ++paramRows;
      EXPECT_EQ(v.magic, expectedNumber) << "parameter rows are numbered without gaps";
      ++expectedNumber;
      (v.acl == MIB_READ_WRITE ? readWrite : readOnly)++;
    } else {
      ++valueRows;
      EXPECT_GE(v.magic, 1);
      EXPECT_LE(v.magic, 20);
      EXPECT_EQ(v.acl, MIB_READ_ONLY);
      EXPECT_EQ(v.type, ASN_INTEGER);
    }
  }
  EXPECT_EQ(kAutoMibVariableCount, 775u);
  EXPECT_EQ(paramRows, 715);
  EXPECT_EQ(valueRows, 60);
  EXPECT_EQ(readWrite, 423);
  EXPECT_EQ(readOnly, 292);
  EXPECT_EQ(autoMibWritableKeyCount, 423u);
}

TEST(AutoMibTable, CountAndIndexObjectsAnswerTheirFamilies) {
  struct Case {
    const char* countName;
    int count;
    const char* indexColumn;
  } cases[] = {
      {"2.40.10.1", 8, "2.40.11.1.1"},
      {"2.40.12.1", 8, "2.40.13.1.1"},
      {"2.43.1.1", 20, "2.43.2.1.1"},
      {"2.50.1.1", 20, "2.50.2.1.1"},
  };
  for (const Case& c : cases) {
    int found = 0;
    std::vector<int> indexes;
    for (const OrvMibVariable& v : autoMibVariables) {
      std::string name = nameOf(v);
      if (name == c.countName) {
        ++found;
        EXPECT_EQ(v.magic, c.count) << name;
      }
      if (name.rfind(std::string(c.indexColumn) + ".", 0) == 0) {
        indexes.push_back(v.magic);
        EXPECT_EQ(name, std::string(c.indexColumn) + "." + std::to_string(v.magic));
      }
    }
    EXPECT_EQ(found, 1) << c.countName;
    ASSERT_EQ(indexes.size(), static_cast<size_t>(c.count)) << c.indexColumn;
    for (int i = 0; i < c.count; ++i) EXPECT_EQ(indexes[i], i + 1);
  }
}

const OrvMibVariable* rowOf(const char* key) {
  for (const OrvMibVariable& v : autoMibVariables) {
    const AutoMibParamRow* row = autoMibParamRow(v.magic);
    if (row != nullptr && std::string(row->key) == key) return &v;
  }
  return nullptr;
}

TEST(AutoMibTable, BranchesStartAndEndWhereTheMibSays) {
  // Key, OID and number of the first and last row of each block, in order.
  struct Case {
    const char* key;
    const char* name;
  } cases[] = {
      {"language", "2.1.22"},          {"sw_features", "2.1.50"},
      {"ip_addr", "2.4.1"},            {"ipv6_auto", "2.4.26"},
      {"bonjour", "2.6.14"},           {"bonjour_name", "2.6.21.1.10.1"},
      {"http_allowed", "2.4.21"},      {"protection_level", "2.40.3"},
      {"ip_filter_on_1", "2.40.11.1.2.1"}, {"hw_filter_8", "2.40.13.1.3.8"},
      {"security", "2.40.20"},         {"sslmethod", "2.40.21"},
      {"dns", "2.4.13"},               {"dns_secondary", "2.4.16"},
      {"any_name", "2.41.1"},          {"admin_passphrase", "2.41.16"},
      {"snmpv1", "2.7.21"},            {"snmpv3", "2.7.31"},
      {"ntp", "2.21.1"},               {"ntp_tzone", "2.21.5"},
      {"sys_name", "2.5.1"},           {"sys_contact", "2.1.21"},
      {"auth_typ", "2.11.18"},         {"auth_wpa_addon", "2.11.26"},
      {"pop3", "2.25.8.1"},            {"smtp_encrypt", "2.25.8.35"},
      {"ip4vlan_on_1", "2.43.2.1.2.1"}, {"ip4vlan_mgmt_untag", "2.43.13"},
      {"zov_port", "2.1.35"},          {"zov_sslport", "2.1.45"},
      {"zovPortNumber", "2.50.1"},     {"zov_comp_20", "2.50.2.1.11.20"},
      {"usb_manu_1", "2.50.2.1.21.1"}, {"usb_slot_40", "2.50.2.1.27.40"},
      {"beepPwr", "2.50.13"},          {"relay_eves", "2.50.18"},
      {"wifi", "2.11.40"},             {"wifi_onair", "2.11.41"},
  };
  unsigned previous = 0;
  for (const Case& c : cases) {
    const OrvMibVariable* v = rowOf(c.key);
    ASSERT_NE(v, nullptr) << c.key;
    EXPECT_EQ(nameOf(*v), c.name) << c.key;
    EXPECT_GE(v->magic, previous) << c.key << " comes after the row before it";
    previous = v->magic;
  }
  EXPECT_EQ(rowOf("language")->magic, kAutoMibFirstParamNumber);
  EXPECT_EQ(rowOf("wifi_onair")->magic, kAutoMibLastParamNumber);
  EXPECT_EQ(std::string(autoMibParamRows[0].key), "language");
  EXPECT_EQ(std::string(autoMibParamRows[kAutoMibParamRowCount - 1].key), "wifi_onair");
}

TEST(AutoMibTable, BeepLnkKeepsItsRowButNoObject) {
  const OrvMibVariable* lnk = rowOf("beepLnk");
  ASSERT_NE(lnk, nullptr);
  EXPECT_EQ(lnk->magic, 808);
  EXPECT_EQ(rowOf("beepSDc")->magic, 807);
  EXPECT_EQ(lnk->acl, MIB_READ_WRITE);
  EXPECT_FALSE(autoMibParamRow(808)->hasObject);
  // Every other name is unique, so no registration is refused.
  std::set<std::string> names;
  for (const OrvMibVariable& v : autoMibVariables) {
    const AutoMibParamRow* row = autoMibParamRow(v.magic);
    if (row != nullptr && !row->hasObject) continue;
    EXPECT_TRUE(names.insert(nameOf(v)).second) << "duplicate " << nameOf(v);
    if (row != nullptr) {
      EXPECT_TRUE(row->hasObject);
    }
  }
  EXPECT_EQ(names.size(), 774u);
}

// Type and access follow the parameter: the class gives the ASN type and
// exactly the PF_NOREPORT parameters are read-only.
TEST(AutoMibTable, TypeAndAccessFollowTheParameter) {
  for (const OrvMibVariable& v : autoMibVariables) {
    const AutoMibParamRow* row = autoMibParamRow(v.magic);
    if (row == nullptr) continue;
    int count = 0;
    Param* param = nullptr;
    Param** items = paramStore.items(&count);
    for (int i = 0; i < count; ++i)
      if (std::string(items[i]->key()) == row->key) param = items[i];
    ASSERT_NE(param, nullptr) << row->key;
    int expectedType = ASN_INTEGER;
    switch (param->paramClass()) {
      case ParamClass::String:
      case ParamClass::Mac:
      case ParamClass::Ip6: expectedType = ASN_OCTET_STR; break;
      case ParamClass::Ip4: expectedType = ASN_IPADDRESS; break;
      case ParamClass::Choice: expectedType = param->hasFlags(PF_SNMP_TEXT) ? ASN_OCTET_STR : ASN_INTEGER; break;
      default: break;
    }
    EXPECT_EQ(v.type, expectedType) << row->key;
    const bool readOnly = param->hasFlags(PF_NOREPORT);
    EXPECT_EQ(v.acl, readOnly ? MIB_READ_ONLY : MIB_READ_WRITE) << row->key;
    EXPECT_EQ(row->write == nullptr, readOnly) << row->key;
  }
  EXPECT_EQ(rowOf("ntp_tzone")->type, ASN_OCTET_STR);
}

}  // namespace
