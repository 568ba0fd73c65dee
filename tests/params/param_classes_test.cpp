// Setting, validating and formatting each parameter class from text.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "params/types/param.h"
#include "params/types/paramflags.h"

namespace {

const ParamLimits kPercent = {0, 100};
const ParamLimits kName = {0, 64};
const ParamLimits kPassword = {8, 64};
const ParamLimits kTwo = {2, 2};
const ParamLimits kLong = {0, 2000};

const ChoiceRow kRows[] = {
    {"fix", "Fixed", "F"},
    {"stat", "Status", ""},
    {"dup", "First", "1"},
    {"dup", "Second", "2"},
    {"optgroup", "UTC+1:00", ""},
};
constexpr int kRowCount = 5;

IpAddress ip4(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  IpAddress address;
  address.fromIp4Bytes(a, b, c, d);
  return address;
}

// ---- IntParam -------------------------------------------------------------

struct IntCase {
  const char* text;
  int32_t kind;
  int expectClass;  // 0: refused
  int32_t expectValue;
};

TEST(IntParamTest, SetFromTextKeepsAtoiFormsAndRefusesOverflow) {
  const IntCase cases[] = {
      {"12x", KIND_RANGED, CHANGE_REBOOT, 12},        // letters after the digits are ignored
      {"1.5", KIND_RANGED, 0, 7},                     // '.' is not alphanumeric
      {"", KIND_RANGED, CHANGE_REBOOT, 0},            // empty means 0, which is in range
      {"-", KIND_RANGED, CHANGE_REBOOT, 0},
      {"100", KIND_RANGED, CHANGE_REBOOT, 100},
      {"101", KIND_RANGED, 0, 7},
      {"-1", KIND_RANGED, 0, 7},
      {"4294967376", KIND_RANGED, 0, 7},              // would wrap to 80 with atoi
      {"00000000000000000000000000000042", KIND_RANGED, CHANGE_REBOOT, 42},
      {"abc", KIND_ANY, CHANGE_REBOOT, 0},            // rows without range take any text
      {" 17", KIND_ANY, CHANGE_REBOOT, 17},
      {"2147483647", KIND_ANY, CHANGE_REBOOT, 2147483647},
      {"-2147483648", KIND_ANY, CHANGE_REBOOT, INT32_MIN},
      {"2147483648", KIND_ANY, 0, 7},
      {"4294967376", KIND_ANY, 0, 7},
      {"-99999999999", KIND_ANY, 0, 7},
  };
  for (const IntCase& c : cases) {
    SCOPED_TRACE(std::string("text \"") + c.text + "\" kind " + std::to_string(c.kind));
    IntParam p("n", c.kind, c.kind == KIND_RANGED ? &kPercent : nullptr, 0, 7);
    EXPECT_EQ(c.expectClass, p.set(c.text));
    EXPECT_EQ(c.expectValue, p.value());
    EXPECT_EQ(c.expectValue != 7, p.isModified());
  }
}

TEST(IntParamTest, AssignWithLengthReadsAtMostThirtyCharacters) {
  IntParam p("n", KIND_ANY, nullptr, 0, 0);
  EXPECT_EQ(1, p.assign("123456", 3));
  EXPECT_EQ(123, p.value());
  std::string longText(31, '1');
  EXPECT_EQ(0, p.assign(longText.c_str(), 31));
  EXPECT_EQ(123, p.value());
}

TEST(IntParamTest, SettersAndTests) {
  IntParam p("n", KIND_RANGED, &kPercent, 0, 5);
  EXPECT_EQ(0, p.setChecked(101));
  EXPECT_EQ(5, p.value());
  EXPECT_FALSE(p.isModified());
  EXPECT_EQ(1, p.setChecked(5));  // accepted though unchanged
  EXPECT_FALSE(p.isModified());
  EXPECT_EQ(1, p.setChecked(0));
  EXPECT_TRUE(p.isModified());
  EXPECT_TRUE(p.isOff());
  EXPECT_FALSE(p.isOn());
  EXPECT_EQ(0, p.setValue(0));
  EXPECT_EQ(1, p.setValue(9));

  IntParam any("m", KIND_ANY, nullptr, 0, 0);
  EXPECT_EQ(1, any.setChecked(-12345678));
  any.clearModified();
  any.setStatusValue(44);
  EXPECT_EQ(44, any.value());
  EXPECT_FALSE(any.isModified());
}

TEST(IntParamTest, FormatPrintAndSnmpValue) {
  IntParam p("n", KIND_ANY, nullptr, 0, -1234);
  char buffer[32];
  EXPECT_EQ(5, p.format(buffer, 0));
  EXPECT_STREQ("-1234", buffer);
  EXPECT_EQ(5, p.format(buffer, 3));  // what snprintf returns
  EXPECT_STREQ("-1", buffer);
  EXPECT_EQ("-1234", p.savedText());
  EXPECT_EQ("-1234", p.displayText());
  std::string snmp;
  ASSERT_EQ(1, p.snmpGet(snmp));
  ASSERT_EQ(4u, snmp.size());
  int32_t v;
  std::memcpy(&v, snmp.data(), 4);
  EXPECT_EQ(-1234, v);
}

// ---- change classes and Param::set ----------------------------------------

TEST(ParamSetTest, ChangeClassFollowsFlagsAndHiddenOrVolatileReportNothing) {
  struct {
    uint32_t flags;
    int expect;
  } cases[] = {
      {PF_IMMEDIATE, CHANGE_ANY},
      {PF_RESTART, CHANGE_RESTART},
      {0, CHANGE_REBOOT},
      {PF_IMMEDIATE | PF_RESTART, CHANGE_ANY},
      {PF_HIDDEN | PF_RESTART, 0},
      {PF_VOLATILE | PF_IMMEDIATE, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.flags);
    IntParam p("n", KIND_ANY, nullptr, c.flags, 0);
    EXPECT_EQ(c.expect, p.set("3"));
    EXPECT_EQ(3, p.value());  // stored even when nothing is reported
    // Setting the current value again still reports the class.
    EXPECT_EQ(c.expect, p.set("3"));
  }
}

TEST(ParamSetTest, LengthLimitsAndLongTexts) {
  StringParam s("s", "", &kLong, 0);
  std::string tooLong(1025, 'a');
  EXPECT_EQ(0, s.set(tooLong.c_str()));
  EXPECT_EQ("", s.getText());
  std::string longest(1024, 'b');
  // The range refuses it, but the length is accepted by set.
  StringParam wide("w", "", nullptr, 0);
  EXPECT_EQ(CHANGE_REBOOT, wide.set(longest.c_str()));
  EXPECT_EQ(longest, wide.getText());
  std::string heap(300, 'c');  // copied to the heap by set
  EXPECT_EQ(CHANGE_REBOOT, s.set(heap.c_str()));
  EXPECT_EQ(heap, s.getText());
  EXPECT_EQ(CHANGE_REBOOT, s.set("abcdef", 3));
  EXPECT_EQ("abc", s.getText());
  EXPECT_EQ(0, s.set(nullptr));
}

// ---- OnOffParam -----------------------------------------------------------

TEST(OnOffParamTest, OnlyLowerCaseIsStored) {
  OnOffParam p("sw", 0, PF_RESTART);
  EXPECT_TRUE(p.validate("ON"));
  EXPECT_TRUE(p.validate("oFf"));
  EXPECT_FALSE(p.validate("1"));
  EXPECT_EQ(0, p.set("ON"));
  EXPECT_EQ(0, p.value());
  EXPECT_EQ(0, p.assign("onx", -1));
  EXPECT_EQ(0, p.assign("onx", 3));
  EXPECT_EQ(1, p.assign("onx", 2));
  EXPECT_EQ(1, p.value());
}

TEST(OnOffParamTest, ModifiedMarkComparesWithCommittedValue) {
  OnOffParam p("sw", 0, PF_RESTART);
  EXPECT_EQ(CHANGE_RESTART, p.set("on"));
  EXPECT_EQ(CHANGE_RESTART, p.set("on"));  // nothing changes, the mark stays
  EXPECT_TRUE(p.isModified());
  EXPECT_EQ(CHANGE_RESTART, p.set("off"));  // back to the committed value
  EXPECT_FALSE(p.isModified());

  // Setting the committed value twice never marks it (a flip would).
  EXPECT_EQ(CHANGE_RESTART, p.set("off"));
  EXPECT_EQ(CHANGE_RESTART, p.set("off"));
  EXPECT_FALSE(p.isModified());

  // After a commit of "on", "on" is the reference.
  p.set("on");
  ASSERT_TRUE(p.takeModified());
  p.noteCommitted();
  p.set("on");
  EXPECT_FALSE(p.isModified());
  p.set("off");
  EXPECT_TRUE(p.isModified());
  p.set("on");
  EXPECT_FALSE(p.isModified());
}

TEST(OnOffParamTest, StatusWriteIsNotAChangeAndBecomesTheReference) {
  OnOffParam p("wifi_onair", 0, 0);
  p.setStatusValue(1);
  EXPECT_TRUE(p.isOn());
  EXPECT_FALSE(p.isModified());
  p.set("off");  // a real change relative to what is on the air
  EXPECT_TRUE(p.isModified());
}

TEST(OnOffParamTest, FormatAndTexts) {
  OnOffParam p("sw", 1, 0);
  char buffer[8] = "xxxxxxx";
  EXPECT_EQ(2, p.format(buffer, 0));
  EXPECT_STREQ("on", buffer);
  EXPECT_EQ(0, p.format(buffer, 2));  // no room for the terminator
  EXPECT_STREQ("", buffer);
  EXPECT_EQ(2, p.format(buffer, 3));
  EXPECT_STREQ("yes", p.yesNoText());
  p.set("off");
  EXPECT_EQ("off", p.savedText());
  EXPECT_STREQ("no", p.yesNoText());
}

// ---- StringParam ----------------------------------------------------------

TEST(StringParamTest, SecretsAreMaskedAndFourStarsKeepTheValue) {
  StringParam p("admin_pwd", "", &kPassword, PF_SECRET | PF_RESTART);
  EXPECT_EQ(CHANGE_RESTART, p.set("topsecret"));
  p.clearModified();
  EXPECT_EQ(CHANGE_RESTART, p.set("****"));
  EXPECT_EQ("topsecret", p.getText());
  EXPECT_FALSE(p.isModified());
  EXPECT_EQ("****", p.displayText());
  EXPECT_EQ("topsecret", p.savedText());
  std::string snmp;
  p.snmpGet(snmp);
  EXPECT_EQ("****", snmp);
  EXPECT_EQ(0, p.set("short"));  // below the minimum
  EXPECT_EQ(CHANGE_RESTART, p.set(""));  // empty is valid for a secret
  EXPECT_EQ("", p.getText());
  EXPECT_EQ("", p.displayText());
  EXPECT_EQ(0, p.hasValue());
}

TEST(StringParamTest, ValidationRefusesControlCharactersAndOuterBlanks) {
  StringParam p("name", "", &kName, 0);
  const struct {
    const char* text;
    bool valid;
  } cases[] = {
      {"plain", true},
      {"two words", true},
      {"Gr\xc3\xbc\xc3\x9f" "e", true},  // UTF-8 stays valid
      {"", true},
      {"line\nfeed", false},
      {"carriage\r", false},
      {"tab\there", false},
      {"bell\x07", false},
      {"del\x7f", false},
      {" leading", false},
      {"trailing ", false},
      {"x", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(c.valid ? 1 : 0, p.validate(c.text));
    EXPECT_EQ(c.valid ? CHANGE_REBOOT : 0, p.set(c.text));
  }
  std::string tooLong(65, 'a');
  EXPECT_EQ(0, p.validate(tooLong.c_str()));
}

TEST(StringParamTest, DisplayDefaultCode) {
  StringParam p("disp_def", "DS", &kTwo, PF_IMMEDIATE);
  const struct {
    const char* text;
    bool valid;
  } cases[] = {{"DS", true}, {"A9", true}, {"EA", true}, {"E1", false}, {"ds", false},
               {"D", false},  {"DSX", false}, {"D-", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(c.valid ? 1 : 0, p.validate(c.text));
  }
}

TEST(StringParamTest, FormatCutsAndTerminates) {
  StringParam p("s", "hello", &kName, 0);
  char buffer[16];
  EXPECT_EQ(2, p.format(buffer, 3));
  EXPECT_STREQ("he", buffer);
  EXPECT_EQ(5, p.format(buffer, 0));
  EXPECT_STREQ("hello", buffer);
  EXPECT_TRUE(p.textEquals("hello"));
  EXPECT_FALSE(p.textEquals("hell"));
}

TEST(StringParamTest, ChangeMarksOnlyRealChangesAndStatusWritesMarkNothing) {
  StringParam p("s", "same", &kName, 0);
  EXPECT_EQ(CHANGE_REBOOT, p.set("same"));
  EXPECT_FALSE(p.isModified());
  EXPECT_EQ(CHANGE_REBOOT, p.set("other"));
  EXPECT_TRUE(p.isModified());
  p.clearModified();
  p.setStatusValue("00:11:22:33:44:55");
  EXPECT_EQ("00:11:22:33:44:55", p.getText());
  EXPECT_FALSE(p.isModified());
}

// ---- P3List ---------------------------------------------------------------

TEST(P3ListTest, KeysSelectTheFirstMatchingRowExactly) {
  P3List p("list", "stat", kRowCount, kRows, PF_IMMEDIATE);
  EXPECT_EQ(1, p.currentIndex());
  EXPECT_EQ(CHANGE_ANY, p.set("dup"));
  EXPECT_EQ(2, p.currentIndex());
  EXPECT_EQ(0, p.set("FIX"));  // case matters
  EXPECT_EQ(0, p.set("nope"));
  EXPECT_EQ(2, p.currentIndex());
  EXPECT_EQ(5, p.choiceCount());
  EXPECT_STREQ("dup", p.currentKey());
}

TEST(P3ListTest, HeadingRowIsNotAChoice) {
  P3List p("ntp_tzone", "fix", kRowCount, kRows, PF_SNMP_TEXT);
  EXPECT_EQ(0, p.validate("optgroup"));
  EXPECT_EQ(0, p.set("optgroup"));
  EXPECT_EQ(0, p.currentIndex());
}

TEST(P3ListTest, PendingChangeStaysMarkedWhenSetAgain) {
  P3List p("list", "fix", kRowCount, kRows, PF_IMMEDIATE);
  p.set("stat");
  p.set("stat");
  EXPECT_TRUE(p.isModified());
}

TEST(P3ListTest, FormatColumnSelectsRowAndColumn) {
  P3List p("list", "fix", kRowCount, kRows, 0);
  char buffer[16];
  const struct {
    int32_t selector;
    const char* text;
  } cases[] = {
      {-1, "fix"},                       // current row, key
      {1, "stat"},                       // row without column bits
      {COL_DISPLAY | 1, "Status"},
      {COL_THIRD | 0, "F"},
      {COL_DISPLAY | 3, "Second"},
      {static_cast<int32_t>(0x80000000u | COL_KEY), "fix"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.selector);
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(static_cast<int>(std::strlen(c.text)), p.formatColumn(c.selector, buffer, sizeof buffer));
    EXPECT_STREQ(c.text, buffer);
  }
  // Unbounded.
  EXPECT_EQ(6, p.formatColumn(COL_DISPLAY | 1, buffer, 0));
  EXPECT_STREQ("Status", buffer);
  // A text as long as the size is cut to it with no terminator.
  std::memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(3, p.formatColumn(COL_DISPLAY | 1, buffer, 3));
  EXPECT_EQ(0, std::memcmp(buffer, "Staxxx", 6));
}

TEST(P3ListTest, RowOutOfRangeGivesNothing) {
  P3List none("list", nullptr, kRowCount, kRows, 0);
  EXPECT_EQ(NO_INDEX, none.currentIndex());
  EXPECT_EQ(0, none.hasValue());
  char buffer[8] = "xxxxxxx";
  testing::internal::CaptureStderr();
  EXPECT_EQ(0, none.formatColumn(-1, buffer, sizeof buffer));
  EXPECT_EQ(0, none.formatColumn(kRowCount, buffer, sizeof buffer));
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(std::string::npos, err.find("ERROR P3List ill base idx:x80000000\n"));
  EXPECT_NE(std::string::npos, err.find("ERROR P3List ill base idx:x00000005\n"));
  EXPECT_STREQ("", buffer);
  EXPECT_EQ("", none.savedText());
  EXPECT_STREQ("", none.currentKey());
  std::string snmp;
  EXPECT_EQ(0, none.snmpGet(snmp));
}

TEST(P3ListTest, EqualsIgnoresCase) {
  P3List p("relay_ctrl", "stat", kRowCount, kRows, 0);
  EXPECT_TRUE(p.equals("STAT"));
  EXPECT_FALSE(p.equals("sta"));
  const char* const any[] = {"fix", "Stat", nullptr};
  const char* const none[] = {"fix", "eve", nullptr};
  EXPECT_TRUE(p.equalsAny(any));
  EXPECT_FALSE(p.equalsAny(none));
  P3List empty("e", nullptr, kRowCount, kRows, 0);
  EXPECT_TRUE(empty.equals(""));
}

TEST(P3ListTest, SnmpValueIsIndexOrKey) {
  P3List byIndex("a", "stat", kRowCount, kRows, 0);
  P3List byText("b", "stat", kRowCount, kRows, PF_SNMP_TEXT);
  std::string v;
  ASSERT_EQ(1, byIndex.snmpGet(v));
  int32_t row;
  ASSERT_EQ(4u, v.size());
  std::memcpy(&row, v.data(), 4);
  EXPECT_EQ(1, row);
  ASSERT_EQ(1, byText.snmpGet(v));
  EXPECT_EQ("stat", v);
}

// ---- MacParam -------------------------------------------------------------

TEST(MacParamTest, TextFormsAndUnchangedAddressRefused) {
  const uint8_t zero[6] = {0};
  MacParam p("mac", zero, KIND_ANY, nullptr, 0);
  EXPECT_EQ(0, p.hasValue());
  EXPECT_TRUE(p.validate("0:1:2:3:4:5"));
  EXPECT_TRUE(p.validate("AA:bb:cc:dd:ee:FF"));
  EXPECT_FALSE(p.validate("0:1:2:3:4"));
  EXPECT_FALSE(p.validate("0:1:2:3:4:100"));
  EXPECT_FALSE(p.validate("0:1:2:3:4:fffffffffff"));
  EXPECT_FALSE(p.validate("00-11-22-33-44-55"));
  EXPECT_EQ(CHANGE_REBOOT, p.set("0:1:2:3:4:5"));
  EXPECT_TRUE(p.isModified());
  EXPECT_EQ(0, p.set("00:01:02:03:04:05"));  // unchanged
  char buffer[32];
  EXPECT_EQ(0, p.format(buffer, 17));
  EXPECT_STREQ("", buffer);
  EXPECT_EQ(17, p.format(buffer, 18));
  EXPECT_STREQ("00:01:02:03:04:05", buffer);
  EXPECT_EQ("00:01:02:03:04:05", p.savedText());
  EXPECT_EQ(1, p.hasValue());
}

// ---- Ip4Param and Ip6Address ----------------------------------------------

TEST(Ip4ParamTest, SetFormatAndTests) {
  Ip4Param p("ip", ip4(192, 168, 0, 1), KIND_ANY, nullptr, PF_RESTART);
  EXPECT_EQ(0, p.set("192.168.0.1"));  // the current address is refused
  EXPECT_FALSE(p.isModified());
  EXPECT_EQ(CHANGE_RESTART, p.set("10.0.0.7"));
  EXPECT_TRUE(p.isModified());
  EXPECT_FALSE(p.validate("1.2.3.256"));
  EXPECT_FALSE(p.validate("1.2.3"));
  EXPECT_FALSE(p.validate("1.2.3.99999999999999"));
  EXPECT_EQ(0, p.set("1.2.3.4x"));  // looks right, but does not convert
  char buffer[64];
  EXPECT_EQ(0, p.format(buffer, 19));
  EXPECT_STREQ("", buffer);
  EXPECT_EQ(8, p.format(buffer, 20));
  EXPECT_STREQ("10.0.0.7", buffer);
  EXPECT_EQ("10.0.0.7", p.savedText());
  EXPECT_FALSE(p.isLinkLocal());
  p.set("169.254.3.4");
  EXPECT_TRUE(p.isLinkLocal());
  std::string v;
  ASSERT_EQ(1, p.snmpGet(v));
  EXPECT_EQ(std::string("\xa9\xfe\x03\x04", 4), v);
  p.set("0.0.0.0");
  EXPECT_EQ(0, p.hasValue());
}

TEST(Ip6AddressTest, DefaultSetAndFormat) {
  testing::internal::CaptureStderr();
  Ip6Address bad("ip6", "not-an-address", KIND_ANY, nullptr, 0);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ("ERROR: Ip6Address initialization faild with:[not-an-address]!\n", err);
  EXPECT_EQ("::", bad.savedText());

  Ip6Address p("ip6", "fe80::1", KIND_ANY, nullptr, PF_RESTART);
  EXPECT_EQ(1, p.hasValue());
  EXPECT_FALSE(p.isLinkLocal());
  EXPECT_FALSE(p.validate("10.0.0.1"));
  EXPECT_EQ(0, p.set("fe80::1"));
  EXPECT_EQ(CHANGE_RESTART, p.set("2001:db8::5"));
  char buffer[64];
  EXPECT_EQ(0, p.format(buffer, 39));
  EXPECT_EQ(11, p.format(buffer, 40));
  EXPECT_STREQ("2001:db8::5", buffer);
  std::string v;
  ASSERT_EQ(1, p.snmpGet(v));
  EXPECT_EQ(16u, v.size());
}

}  // namespace
