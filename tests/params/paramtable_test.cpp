// The parameter table: size, key order, classes, defaults, flags and the
// choice lists, on a private copy of the table (the program's store is only
// read).
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "params/store/paramstore.h"
#include "params/table/choicelists.h"
#include "params/table/paramtable.h"
#include "params/types/param.h"
#include "params/types/paramflags.h"

namespace {

class ParamTableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    items_.assign(kParamTableSize + 5, nullptr);
    count_ = defineParameters(items_.data(), static_cast<int>(items_.size()));
  }
  void TearDown() override {
    for (Param* p : items_) delete p;
  }

  Param* byKey(const char* key) const {
    for (int i = 0; i < count_; ++i)
      if (std::strcmp(items_[i]->key(), key) == 0) return items_[i];
    return nullptr;
  }
  P3List* list(const char* key) const {
    Param* p = byKey(key);
    return (p && p->paramClass() == ParamClass::Choice) ? static_cast<P3List*>(p) : nullptr;
  }
  static std::string column(const P3List& l, int32_t selector) {
    char buffer[128];
    const int n = l.formatColumn(selector, buffer, sizeof buffer);
    return std::string(buffer, n > 0 ? n : 0);
  }

  std::vector<Param*> items_;
  int count_ = 0;
};

TEST_F(ParamTableTest, HoldsAllRowsInStrictByteWiseKeyOrder) {
  ASSERT_EQ(count_, 790);
  EXPECT_EQ(items_[790], nullptr);
  for (int i = 1; i < count_; ++i)
    EXPECT_LT(std::strcmp(items_[i - 1]->key(), items_[i]->key()), 0)
        << items_[i - 1]->key() << " before " << items_[i]->key();
  for (int i = 0; i < count_; ++i) EXPECT_LE(std::strlen(items_[i]->key()), 60u);
}

TEST_F(ParamTableTest, EveryKeyIsFoundThroughAStore) {
  ParamStore store(items_.data(), count_);
  for (int i = 0; i < count_; ++i) EXPECT_EQ(store.find(items_[i]->key()), items_[i]) << items_[i]->key();
  // The program's own store is filled from the same table.
  int globalCount = 0;
  Param** global = paramStore.items(&globalCount);
  ASSERT_EQ(globalCount, 790);
  for (int i = 0; i < count_; ++i) {
    EXPECT_STREQ(global[i]->key(), items_[i]->key());
    EXPECT_EQ(global[i]->paramClass(), items_[i]->paramClass());
  }
}

TEST_F(ParamTableTest, StopsAtTheGivenCapacity) {
  Param* few[10] = {};
  ASSERT_EQ(defineParameters(few, 10), 10);
  for (int i = 0; i < 10; ++i) {
    EXPECT_STREQ(few[i]->key(), items_[i]->key());
    delete few[i];
  }
  EXPECT_EQ(defineParameters(few, 0), 0);
}

TEST_F(ParamTableTest, ClassCounts) {
  std::map<ParamClass, int> counts;
  for (int i = 0; i < count_; ++i) ++counts[items_[i]->paramClass()];
  EXPECT_EQ(counts[ParamClass::String], 347);
  EXPECT_EQ(counts[ParamClass::OnOff], 179);
  EXPECT_EQ(counts[ParamClass::Int], 130);
  EXPECT_EQ(counts[ParamClass::Ip4], 70);
  EXPECT_EQ(counts[ParamClass::Choice], 53);
  EXPECT_EQ(counts[ParamClass::Mac], 9);
  EXPECT_EQ(counts[ParamClass::Ip6], 2);
}

TEST_F(ParamTableTest, FamiliesHaveTheirMemberCounts) {
  int perPort = 0, perSlot = 0;
  std::set<std::string> perPortStems;
  for (int i = 0; i < count_; ++i) {
    const std::string key = items_[i]->key();
    if (items_[i]->hasFlags(PF_PER_PORT)) {
      ++perPort;
      perPortStems.insert(key.substr(0, key.rfind('_') + 1));
    }
    if (items_[i]->hasFlags(PF_PER_DEVICE_SLOT)) ++perSlot;
  }
  EXPECT_EQ(perPort, 20 * static_cast<int>(perPortStems.size()));
  EXPECT_EQ(perPortStems.size(), 15u);
  EXPECT_EQ(perSlot, 7 * 40);
  for (const char* key : {"zov_vendprodIDs_20", "zov_poffdura_10", "usb_vendid_40", "usb_slot_1",
                          "hw_filter_on_8", "mailto_2", "wifi_wkey4", "ip4vlan_mask_19"})
    EXPECT_NE(byKey(key), nullptr) << key;
  for (const char* key : {"zov_tag_21", "usb_owner_41", "hw_filter_9", "mailto_3", "wifi_wkey5",
                          "zov_tag_0", "usb_owner_"})
    EXPECT_EQ(byKey(key), nullptr) << key;
}

// A sample of rows: class, flags (change bits included) and the default as
// shown.
struct RowCase {
  const char* key;
  ParamClass cls;
  uint32_t flags;
  const char* shown;
};

TEST_F(ParamTableTest, SampleRowsHaveTheirClassFlagsAndDefault) {
  const RowCase cases[] = {
      {"admin_cipher", ParamClass::Choice, PF_RESTART, "---"},
      {"admin_name", ParamClass::String, PF_RESTART, "Admin"},
      {"autoSync", ParamClass::OnOff, FEATURE_SDBACKUP | PF_IMMEDIATE, "on"},
      {"beepSDc", ParamClass::OnOff, FEATURE_BEEPER | FEATURE_SDBACKUP | PF_IMMEDIATE, "off"},
      {"button_cnt", ParamClass::Int, PF_NOREPORT | PF_VOLATILE, "0"},
      {"debugflags", ParamClass::Int, PF_NOSNMP | PF_IMMEDIATE, "8404997"},
      {"disp_def", ParamClass::String, FEATURE_DISPLAY | PF_IMMEDIATE, "DS"},
      {"hw_filter_3", ParamClass::Mac, 0, "00:00:00:00:00:00"},
      {"ip4vlan_addr_20", ParamClass::Ip4, PF_PER_PORT | FEATURE_ACCCTRL | PF_RESTART, "192.168.0.0"},
      {"ip4vlan_id_7", ParamClass::Int, PF_PER_PORT | FEATURE_ACCCTRL | PF_RESTART, "1"},
      {"ip_bootp_addr", ParamClass::Ip4, PF_NOREPORT | PF_NOSNMP, "0.0.0.0"},
      {"ip_mask", ParamClass::Ip4, 0, "255.255.255.0"},
      {"ip_setby", ParamClass::Choice, PF_NOREPORT, "zconf"},
      {"ipv6_gate", ParamClass::Ip6, 0, "::"},
      {"language", ParamClass::Choice, PF_NOSNMP | PF_IMMEDIATE, "en"},
      {"netcon_mac", ParamClass::Mac, PF_ALWAYS_HIDDEN, "00:00:00:00:00:00"},
      {"notistat_d", ParamClass::Choice, PF_TRANSLATED | FEATURE_EMAIL | PF_RESTART, "al"},
      {"ntp_tzone", ParamClass::Choice, PF_SNMP_TEXT | PF_RESTART, "CET/CEST (EU)"},
      {"pop3_pwd", ParamClass::String, PF_SECRET | FEATURE_EMAIL | PF_IMMEDIATE, ""},
      {"relay_eves", ParamClass::Int, PF_NOREPORT | PF_VOLATILE | FEATURE_RELAY | PF_IMMEDIATE, "0"},
      {"smtp_auth", ParamClass::OnOff, FEATURE_EMAIL, "off"},
      {"snmpv1_community", ParamClass::String, PF_RESTART, "tavrin"},
      {"sw_features", ParamClass::Int, PF_NOREPORT | PF_VOLATILE, "0"},
      {"trapcommu_2", ParamClass::String, FEATURE_EMAIL | PF_RESTART, "tavrin"},
      {"usb_owner_40", ParamClass::String, PF_NOREPORT | PF_VOLATILE | PF_PER_DEVICE_SLOT, "-"},
      {"usb_slot_17", ParamClass::Int, PF_NOREPORT | PF_VOLATILE | PF_PER_DEVICE_SLOT, "0"},
      {"wifi_mode", ParamClass::Choice, FEATURE_WLAN, "adhoc"},
      {"wifi_name", ParamClass::String, FEATURE_WLAN, "ORV"},
      {"zovPortNumber", ParamClass::Int, PF_NOREPORT | PF_IMMEDIATE, "5"},
      {"zov_accctrl_13", ParamClass::Choice,
       PF_TRANSLATED | PF_PER_PORT | FEATURE_ACCCTRL | PF_IMMEDIATE, "---"},
      {"zov_comp_2", ParamClass::OnOff, PF_PER_PORT | FEATURE_UCOMP | PF_IMMEDIATE, "on"},
      {"zov_keyval_20", ParamClass::String, PF_SECRET | PF_PER_PORT | FEATURE_ACCCTRL | PF_IMMEDIATE, ""},
      {"zov_sslport", ParamClass::Int, PF_RESTART, "9443"},
  };
  for (const RowCase& c : cases) {
    SCOPED_TRACE(c.key);
    Param* p = byKey(c.key);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->paramClass(), c.cls);
    EXPECT_EQ(p->flags(), c.flags);
    EXPECT_EQ(p->displayText(), c.shown);
    EXPECT_FALSE(p->isModified());
  }
}

TEST_F(ParamTableTest, WepKeyIndexDefaultsToTheFirstKey) {
  // Stored less one as the WEP transmit key: 0 would give key index -1.
  Param* p = byKey("wifi_keyid");
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->displayText(), "1");
  EXPECT_EQ(p->validate("0"), 0);
  EXPECT_EQ(p->validate("4"), 1);
}

TEST_F(ParamTableTest, PasswordsAndWepKeysAreSecret) {
  for (const char* key : {"auth_pwd", "wifi_wkey1", "wifi_wkey2", "wifi_wkey3", "wifi_wkey4", "admin_pwd",
                          "any_pwd", "admin_passphrase", "any_passphrase", "pop3_pwd", "smtp_pwd",
                          "wifi_psk", "zov_keyval_1"}) {
    SCOPED_TRACE(key);
    Param* p = byKey(key);
    ASSERT_NE(p, nullptr);
    ASSERT_TRUE(p->hasFlags(PF_SECRET));
    ASSERT_EQ(p->paramClass(), ParamClass::String);
    StringParam* s = static_cast<StringParam*>(p);
    ASSERT_NE(s->set("0123456789abc"), 0);
    EXPECT_EQ(s->displayText(), "****");
    std::string snmp;
    EXPECT_EQ(s->snmpGet(snmp), 1);
    EXPECT_EQ(snmp, "****");
    // The raw value stays readable for the code that needs it.
    EXPECT_EQ(s->getText(), "0123456789abc");
    EXPECT_EQ(s->savedText(), "0123456789abc");
    // "****" as input keeps the secret (a minimum length above 4 refuses it
    // as text, which keeps it too).
    s->set("****");
    EXPECT_EQ(s->getText(), "0123456789abc");
  }
}

TEST_F(ParamTableTest, ChangeClassesFollowTheChangeColumn) {
  struct Case {
    const char* key;
    const char* value;
    int change;
  };
  const Case cases[] = {
      {"admin_name", "root", CHANGE_RESTART},  {"cpuLoadPoll", "5", CHANGE_ANY},
      {"ip_auto", "off", CHANGE_REBOOT},       {"smtp_auth", "on", CHANGE_REBOOT},
      {"trapdev", "on", CHANGE_ANY},           {"ntp_tzone", "GMT", CHANGE_RESTART},
      {"zov_poff_3", "on", CHANGE_ANY},        {"wifi_channel", "11", CHANGE_REBOOT},
      {"ip_addr", "10.1.2.3", CHANGE_REBOOT},  {"dns_primary", "10.1.2.4", CHANGE_RESTART},
      {"sw_features", "4096", 0},  // volatile: accepted, no class
  };
  for (const Case& c : cases) {
    Param* p = byKey(c.key);
    ASSERT_NE(p, nullptr) << c.key;
    EXPECT_EQ(p->set(c.value), c.change) << c.key;
    EXPECT_EQ(p->savedText(), c.value) << c.key;
  }
}

TEST_F(ParamTableTest, RangesOfSampleRows) {
  struct Case {
    const char* key;
    const char* text;
    int valid;
  };
  const Case cases[] = {
      {"ipv6_plen", "0", 1},          {"ipv6_plen", "64", 1},        {"ipv6_plen", "65", 0},
      {"debugflags", "-77", 1},       {"life", "123456789", 1},      {"zovPortNumber", "x", 1},
      {"sw_features", "99999999", 1}, {"button_cnt", "-1", 1},       {"relay_eves", "7", 1},
      {"ntp_update", "59", 0},        {"ntp_update", "1024", 1},     {"sessKeyTimeout", "119", 0},
      {"zov_2vlan_5", "21", 1},       {"zov_2vlan_5", "22", 0},      {"disp_def", "E1", 0},
      {"disp_def", "A7", 1},          {"admin_pwd", "short", 0},     {"admin_pwd", "", 1},
      {"wifi_wkey2", "aaaaaaaaaaaaaaaaaaaaaaaaaaaa", 1},  {"wifi_wkey2", "aaaaaaaaaaaaaaaaaaaaaaaaaaaaa", 0},
      {"usb_vendid_1", "12345678", 0},
  };
  for (const Case& c : cases) {
    Param* p = byKey(c.key);
    ASSERT_NE(p, nullptr) << c.key;
    EXPECT_EQ(p->validate(c.text), c.valid) << c.key << " " << c.text;
  }
}

TEST_F(ParamTableTest, EveryListDefaultIsAKeyOfItsList) {
  int lists = 0;
  for (int i = 0; i < count_; ++i) {
    if (items_[i]->paramClass() != ParamClass::Choice) continue;
    ++lists;
    const P3List* l = static_cast<const P3List*>(items_[i]);
    SCOPED_TRACE(l->key());
    ASSERT_EQ(l->hasValue(), 1);
    EXPECT_EQ(l->findKey(l->currentKey()), l->currentIndex());
    EXPECT_GE(l->rowCount(), 2);
    for (int32_t row = 0; row < l->rowCount(); ++row) {
      EXPECT_NE(l->rows()[row].key, nullptr);
      EXPECT_NE(l->rows()[row].display, nullptr);
      EXPECT_NE(l->rows()[row].extra, nullptr);
    }
  }
  EXPECT_EQ(lists, 53);
}

TEST_F(ParamTableTest, ListsSharedByParametersAreOneTable) {
  EXPECT_EQ(list("admin_cipher")->rows(), list("any_cipher")->rows());
  EXPECT_EQ(list("relay_eve_uact")->rows(), list("relay_stat_udis")->rows());
  EXPECT_EQ(list("zov_accctrl_1")->rows(), list("zov_accctrl_20")->rows());
  EXPECT_NE(list("relay_eve_udea")->rows(), list("relay_eve_udis")->rows());
}

TEST_F(ParamTableTest, ListDisplayTexts) {
  struct Case {
    const char* key;
    const char* value;
    const char* display;
  };
  const Case cases[] = {
      {"protection_test", "on", "Off"},        // the default shows "Off"
      {"protection_test", "off", "On"},
      {"relay_eve_udea", "off", "--"},         {"relay_stat_udea", "off", "--"},
      {"relay_eve_udis", "off", "---"},        {"relay_eve_sd", "sderr", "cannot be used"},
      {"admin_rights", "readonly", "Read-only"},  // taken from the catalogue: English here
      {"notistat_d", "su", "Sunday"},          {"wifi_encrypt", "WepOpen", "WEP  (Open System)"},
      {"wifi_encrypt", "Auto", "WPA  (Auto)"}, {"auth_intern", "MSCHAP2", "MS-CHAPv2"},
      {"ip_setby", "pfile", "Parameter file"}, {"sslmethod", "tls12", "TLS 1.2"},
      {"zov_accctrl_4", "keyids", "port key control/device assignment"},
      {"language", "jp", "日本語"},           {"ntp_tzone", "ChST", "ChST"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.key) + "=" + c.value);
    P3List* l = list(c.key);
    ASSERT_NE(l, nullptr);
    const int32_t row = l->findKey(c.value);
    ASSERT_NE(row, NO_INDEX);
    EXPECT_EQ(column(*l, COL_DISPLAY | row), c.display);
  }
  EXPECT_EQ(column(*list("language"), COL_THIRD | list("language")->findKey("de")), "de_DE.UTF-8");
  EXPECT_EQ(column(*list("language"), COL_THIRD | list("language")->findKey("kr")), "kr_KR.UTF-8");
  EXPECT_EQ(column(*list("wifi_mode"), COL_THIRD | 0), "");
}

TEST_F(ParamTableTest, TimeZoneListGroupsAndOffsets) {
  P3List* tz = list("ntp_tzone");
  ASSERT_NE(tz, nullptr);
  ASSERT_EQ(tz->rowCount(), 225);
  EXPECT_STREQ(tz->rows()[0].key, "optgroup");
  int groups = 0;
  std::string offset;
  for (int32_t row = 0; row < tz->rowCount(); ++row) {
    const ChoiceRow& r = tz->rows()[row];
    if (std::strcmp(r.key, "optgroup") == 0) {
      ++groups;
      offset = r.display;
      EXPECT_STREQ(r.extra, "");
      EXPECT_EQ(offset.compare(0, 3, "UTC"), 0);
      continue;
    }
    EXPECT_STREQ(r.key, r.display);
    // The third text starts with the group's offset.
    EXPECT_EQ(std::string(r.extra).compare(0, offset.size(), offset), 0) << r.key;
  }
  EXPECT_EQ(groups, 37);

  struct Case {
    const char* key;
    const char* third;
  };
  const Case cases[] = {
      {"HAST/HADT (US)", "UTC-10:00 US"},
      {"CST (South Australia)", "UTC+9:30 South Australia"},
      {"NUT", "UTC-11:00"},
      {"CET/CEST (EU)", "UTC+1:00 EU"},
      {"NZST/NZDT (New Zealand)", "UTC+12:00 New Zealand"},
      {"CHAST/CHADT (Chatham)", "UTC+12:45 Chatham"},
      {"LINT", "UTC+14:00"},
      // Keys in more than one group select their first row.
      {"CST", "UTC-6:00"},
      {"EST", "UTC-5:00"},
      {"AST", "UTC-4:00"},
      {"GST", "UTC-2:00"},
      {"LKT", "UTC+5:30"},
      {"WST", "UTC-11:00"},
  };
  for (const Case& c : cases) {
    ASSERT_NE(tz->set(c.key), 0) << c.key;
    EXPECT_EQ(column(*tz, COL_THIRD | tz->currentIndex()), c.third) << c.key;
  }
  int cst = 0;
  for (int32_t row = 0; row < tz->rowCount(); ++row) cst += std::strcmp(tz->rows()[row].key, "CST") == 0;
  EXPECT_EQ(cst, 3);
}

TEST_F(ParamTableTest, ChoiceListTablesMatchTheirParameters) {
  EXPECT_EQ(list("ntp_tzone")->rows(), kChoicesTimeZone);
  EXPECT_EQ(kChoicesTimeZoneCount, 225);
  EXPECT_EQ(list("language")->rows(), kChoicesLanguage);
  EXPECT_EQ(kChoicesLanguageCount, 10);
  EXPECT_EQ(kChoicesWifiEncryptionCount, 10);
  EXPECT_EQ(kChoicesRelayUsbPortCount, 4);
}

}  // namespace
