#include "notify/trapcontents.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "notify/support/notify_fixture.h"

namespace {

NotifyEvent event(uint32_t code, int32_t value, const char* host = "-?-") {
  NotifyEvent e{};
  e.code = code;
  e.value = value;
  std::strcpy(e.manufacturer, "Acme");
  std::strcpy(e.product, "Stick");
  std::strcpy(e.serial, "0042");
  std::strcpy(e.host, host);
  return e;
}

TEST(TrapContentsTest, NumbersTextsAndBindingsPerCode) {
  struct Case {
    uint32_t code;
    int32_t number;
    const char* text;
    int bindings;
  } cases[] = {
      {0x100, 5, "device connected: ", 6},
      {0x200, 6, "device disconnected", 6},
      {0x400, 3, "device attached", 6},
      {0x800, 4, "device detached", 6},
      {0x10000, 1, "device unknown event", 6},
      {0x200000, 11, "power supply event", 3},
      {0x400000, 12, " SDCard is plugged in", 3},
      {0x800000, 13, " SDCard is plugged out", 3},
      {0x1000000, 14, " SDCard is missing", 3},
      {0x2000000, 15, " SDCard is unusable", 3},
      {0x4000000, 16, " SDCard is write protected", 3},
      {0x8000000, 17, "network link event", 3},
  };
  const uint32_t leaves[] = {1, 2, 3, 4, 6, 8};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    SnmpTrapRecord r;
    buildTrapVarbinds(event(c.code, 7), &r);
    EXPECT_FALSE(r.easy);
    EXPECT_EQ(r.generic, 6);
    EXPECT_EQ(r.specific, 51);
    ASSERT_EQ(r.varbindCount, c.bindings);
    for (int i = 0; i < r.varbindCount; ++i) {
      const uint32_t prefix[] = {1, 3, 6, 1, 4, 1, 32473, 2, 51};
      ASSERT_EQ(r.varbinds[i].oidLength, 10);
      EXPECT_EQ(std::memcmp(r.varbinds[i].oid, prefix, sizeof prefix), 0);
      EXPECT_EQ(r.varbinds[i].oid[9], leaves[i]);
    }
    EXPECT_EQ(r.varbinds[0].type, TRAP_TYPE_INTEGER);
    EXPECT_EQ(trapVarbindInteger(r.varbinds[0]), c.number);
    EXPECT_EQ(trapVarbindInteger(r.varbinds[1]), 7);
    EXPECT_EQ(r.varbinds[2].type, TRAP_TYPE_OCTET_STRING);
    EXPECT_EQ(trapText(r, 2), c.text);
    if (c.bindings == 6) {
      EXPECT_EQ(trapText(r, 3), "Acme");
      EXPECT_EQ(trapText(r, 4), "Stick");
      EXPECT_EQ(trapText(r, 5), "0042");
    }
  }
}

TEST(TrapContentsTest, TheConnectTextTakesTheAddressFromTheEntrysOwnHostText) {
  struct Case {
    const char* host;
    const char* text;
  } cases[] = {
      {"169.254.001.002", "device connected: 169.254.001.002"},
      {"lab-pc (169.254.001.002)", "device connected: 169.254.001.002"},
      {"a (b) (010.000.000.009)", "device connected: 010.000.000.009"},
      {"----", "device connected: ----"},
      {"-?-", "device connected: "},
      {"- ? -", "device connected: "},
      {"", "device connected: "},
      {"a-very-long-client-name-that-fills-the-field-to-the-brim (169.2", "device connected: "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.host);
    SnmpTrapRecord r;
    buildTrapVarbinds(event(NOTIFY_USB_CONNECTED, 2, c.host), &r);
    EXPECT_EQ(trapText(r, 2), c.text);
  }
}

TEST(TrapContentsTest, StartTrapIsColdOrWarmWithTheStartCount) {
  struct Case {
    int kickOff;
    int32_t generic;
  } cases[] = {{0, TRAP_COLD_START}, {-1, TRAP_COLD_START}, {1, TRAP_WARM_START}, {5, TRAP_WARM_START}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.kickOff);
    SnmpTrapRecord r;
    buildStartTrap(c.kickOff, 17, &r);
    EXPECT_TRUE(r.easy);
    EXPECT_EQ(r.generic, c.generic);
    EXPECT_EQ(r.specific, 17);
    EXPECT_EQ(r.varbindCount, 0);
  }
}

}  // namespace
