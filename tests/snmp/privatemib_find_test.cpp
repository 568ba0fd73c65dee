// The find functions and the control object's write method driven directly,
// as the agent calls them.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "params/store/paramstore.h"
#include "params/types/param.h"
#include "params/types/paramflags.h"
#include "params/types/snmpset.h"
#include "snmp/automib.h"
#include "snmp/privatemib.h"
#include "snmp/systemgroup.h"
#include "support/scratch_root.h"

namespace {

struct Found {
  u_char* value = nullptr;
  size_t length = 0;
  WriteMethod* write = nullptr;
};

// The find function of a descriptor asked for its instance (exact).
Found findExact(const OrvMibVariable& v, const oid* prefix, oid instance, const char* paramKey = nullptr) {
  OrvMibObject object{};
  EXPECT_TRUE(makeOrvMibObject(object, v, prefix, 7, paramKey));
  oid name[MAX_OID_LEN];
  size_t length = object.registered.namelen;
  std::memcpy(name, object.registered.name, length * sizeof(oid));
  name[length++] = instance;
  Found f;
  f.value = v.findVar(&object, name, &length, 1, &f.length, &f.write);
  return f;
}

int32_t wordAt(const u_char* value) {
  int32_t w;
  std::memcpy(&w, value, sizeof w);
  return w;
}

// Every INTEGER answer points at a 32-bit word and says so: the library
// copies as many bytes as the length gives.
TEST(PrivateMibFind, IntegerAnswersAreOneWordLong) {
  int integers = 0;
  for (const OrvMibVariable& v : autoMibVariables) {
    Found f = findExact(v, orvMibPrefix, 0);
    const AutoMibParamRow* row = autoMibParamRow(v.magic);
    if (f.value == nullptr) continue;
    if (v.type == ASN_INTEGER || v.type == ASN_IPADDRESS) {
      ++integers;
      EXPECT_EQ(f.length, 4u) << v.magic;
    }
    if (row == nullptr) {
      EXPECT_EQ(wordAt(f.value), v.magic);
    } else if (v.type == ASN_INTEGER) {
      Param* p = paramStore.find(row->key);
      ASSERT_NE(p, nullptr);
      if (p->paramClass() == ParamClass::Int || p->paramClass() == ParamClass::OnOff)
        EXPECT_EQ(wordAt(f.value), static_cast<IntParam*>(p)->value()) << row->key;
      else
        EXPECT_EQ(wordAt(f.value), static_cast<P3List*>(p)->currentIndex()) << row->key;
    }
  }
  EXPECT_GT(integers, 400);
  for (const OrvMibVariable& v : systemGroupVariables) {
    Found f = findExact(v, orvMibPrefix, 0);
    ASSERT_NE(f.value, nullptr) << v.magic;
    if (v.type == ASN_INTEGER) {
      EXPECT_EQ(f.length, 4u) << v.magic;
    }
  }
  Found reset = findExact(prtCompatVariables[0], prtCompatPrefix, 1);
  ASSERT_NE(reset.value, nullptr);
  EXPECT_EQ(reset.length, 4u);
  EXPECT_EQ(wordAt(reset.value), 3);
}

const OrvMibVariable& rowOf(const char* key) {
  for (const OrvMibVariable& v : autoMibVariables) {
    const AutoMibParamRow* row = autoMibParamRow(v.magic);
    if (row != nullptr && std::strcmp(row->key, key) == 0) return v;
  }
  static OrvMibVariable none{};
  ADD_FAILURE() << key;
  return none;
}

TEST(PrivateMibFind, WriteMethodOnlyWhereAValueCanBeWritten) {
  struct Case {
    const char* key;
    oid instance;
    bool value;
    bool write;
  } cases[] = {
      {"sys_name", 0, true, true},
      {"sys_name", 1, false, false},     // wrong instance
      {"button_cnt", 0, true, false},    // read-only
      {"language", 0, false, false},     // never over SNMP
  };
  for (const Case& c : cases) {
    Found f = findExact(rowOf(c.key), orvMibPrefix, c.instance);
    EXPECT_EQ(f.value != nullptr, c.value) << c.key << "." << c.instance;
    EXPECT_EQ(f.write != nullptr, c.write) << c.key << "." << c.instance;
  }
  // The control object takes writes at any instance; a read needs .0.
  const OrvMibVariable& control = systemGroupVariables[kSystemGroupVariableCount - 1];
  Found at3 = findExact(control, orvMibPrefix, 3);
  EXPECT_EQ(at3.value, nullptr);
  EXPECT_EQ(at3.write, writeRestartControl);
  Found reset2 = findExact(prtCompatVariables[0], prtCompatPrefix, 2);
  EXPECT_EQ(reset2.value, nullptr);
  EXPECT_EQ(reset2.write, writePrtGeneralReset);
}

int restarts = 0;
bool countRestart(int delaySeconds) {
  EXPECT_EQ(delaySeconds, 1);
  ++restarts;
  return true;
}

class ControlObject : public ScratchRoot {
 protected:
  void SetUp() override {
    ScratchRoot::SetUp();
    restarts = 0;
    setSnmpShutDownStarter(countRestart);
    writeFile("etc/params.dat", "sys_name = x\n");
  }
  // Calls the write method with a buffer of exactly the value's bytes.
  int write(int phase, const std::vector<uint8_t>& bytes, u_char type = ASN_INTEGER) {
    std::unique_ptr<u_char[]> copy(bytes.empty() ? nullptr : new u_char[bytes.size()]);
    if (!bytes.empty()) std::memcpy(copy.get(), bytes.data(), bytes.size());
    return writeRestartControl(phase, copy.get(), type, bytes.size(), nullptr, nullptr, 0);
  }
  bool paramFileExists() { return std::ifstream(path("etc/params.dat")).good(); }
};

std::vector<uint8_t> longOf(long v) {
  std::vector<uint8_t> b(sizeof v);
  std::memcpy(b.data(), &v, sizeof v);
  return b;
}

TEST_F(ControlObject, ActsInCommitOnTheBytesItWasGiven) {
  struct Case {
    std::vector<uint8_t> bytes;
    u_char type;
    int restarts;
    bool fileRemoved;
  } cases[] = {
      {longOf(10), ASN_INTEGER, 1, false},
      {longOf(9), ASN_INTEGER, 1, true},
      {longOf(7), ASN_INTEGER, 0, false},
      // Not 10 as a long, though its first bytes read 10: the set bit lies
      // in the long's last byte, whatever the long's width.
      {longOf(10L + (1L << (CHAR_BIT * (sizeof(long) - 1)))), ASN_INTEGER, 0, false},
      {{}, ASN_OCTET_STR, 0, false},                      // empty: no command
      {{10}, ASN_OCTET_STR, 1, false},                     // one byte read as one byte
      {{10, 0, 0}, ASN_OCTET_STR, 1, false},
      {{9, 0, 0, 0}, ASN_OCTET_STR, 1, true},
  };
  for (const Case& c : cases) {
    restarts = 0;
    writeFile("etc/params.dat", "sys_name = x\n");
    for (int phase : {SNMP_RESERVE1, SNMP_RESERVE2, SNMP_ACTION}) EXPECT_EQ(write(phase, c.bytes, c.type), 0);
    EXPECT_EQ(restarts, 0) << "nothing before COMMIT";
    EXPECT_EQ(write(SNMP_COMMIT, c.bytes, c.type), 0);
    EXPECT_EQ(restarts, c.restarts) << c.bytes.size();
    EXPECT_EQ(!paramFileExists(), c.fileRemoved) << c.bytes.size();
  }
}

TEST_F(ControlObject, UndoneSetRestartsNothing) {
  for (int phase : {SNMP_RESERVE1, SNMP_RESERVE2, SNMP_ACTION, SNMP_UNDO}) EXPECT_EQ(write(phase, longOf(9)), 0);
  EXPECT_EQ(restarts, 0);
  EXPECT_TRUE(paramFileExists());
  EXPECT_EQ(write(SNMP_FREE, longOf(10)), 0);
  EXPECT_EQ(restarts, 0);
}

}  // namespace
