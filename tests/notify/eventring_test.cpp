#include "notify/eventring.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

TEST(EventRingTest, SeventeenthPushOverwritesTheOldestAndItsBitsStandForIt) {
  EventRing ring;
  for (int i = 0; i < NOTIFY_RING_SIZE; ++i) EXPECT_EQ(ring.entry(i).value, -1) << "never written";
  for (int i = 1; i <= 17; ++i) ring.push(NOTIFY_USB_ATTACHED, i, "maker", "thing", "sn", nullptr);
  EXPECT_EQ(ring.entry(0).value, 17);
  EXPECT_EQ(ring.entry(1).value, 2);
  EXPECT_EQ(ring.entry(15).value, 16);
  EXPECT_EQ(ring.writeIndex(), 1);
  EXPECT_EQ(ring.pendingMailMask(), 0xffffu);
  EXPECT_EQ(ring.pendingTrapMask(), 0xffffu);
}

TEST(EventRingTest, MissingTextsAndTheEventsThatKeepTheOldTexts) {
  EventRing ring;
  ring.push(NOTIFY_USB_CONNECTED, 3, "Acme", nullptr, "", "pc (010.000.000.001)");
  NotifyEvent e = ring.entry(0);
  EXPECT_STREQ(e.manufacturer, "Acme");
  EXPECT_STREQ(e.product, "-?-");
  EXPECT_STREQ(e.serial, "-?-");
  EXPECT_STREQ(e.host, "pc (010.000.000.001)");

  // Fill the ring once, so the next pushes reuse entries 0 and 1.
  ring.push(NOTIFY_USB_ATTACHED, 4, "Other", "Stick", "42", nullptr);
  for (int i = 2; i < NOTIFY_RING_SIZE; ++i) ring.push(NOTIFY_USB_DETACHED, i, "x", "y", "z", nullptr);
  struct Case {
    uint32_t code;
    int index;
    const char* manufacturer;  // expected afterwards
  } cases[] = {
      {NOTIFY_POWER_SUPPLY, 0, "Acme"},
      {NOTIFY_NETWORK_LINK, 1, "Other"},
      {NOTIFY_CARD_IN, 2, "-?-"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    ring.push(c.code, 0x11, nullptr, nullptr, nullptr, nullptr);
    NotifyEvent entry = ring.entry(c.index);
    EXPECT_EQ(entry.code, c.code);
    EXPECT_EQ(entry.value, 0x11);
    EXPECT_STREQ(entry.manufacturer, c.manufacturer);
  }
}

TEST(EventRingTest, LongTextsAreCutToTheirFieldAndTerminated) {
  const std::string full129(129, 'm');
  const std::string host(200, 'h');
  // 31 bytes, then a two-byte character that no longer fits in 32.
  const std::string serialUtf8 = std::string(31, 's') + "\xc3\xa9" + "tail";
  EventRing ring;
  ring.push(NOTIFY_USB_CONNECTED, 1, full129.c_str(), full129.c_str(), serialUtf8.c_str(), host.c_str());
  NotifyEvent e = ring.entry(0);
  EXPECT_EQ(std::string(e.manufacturer), std::string(128, 'm'));
  EXPECT_EQ(std::string(e.product), std::string(128, 'm'));
  EXPECT_EQ(std::string(e.serial), std::string(31, 's'));
  EXPECT_EQ(std::string(e.host), std::string(64, 'h'));
}

TEST(EventRingTest, MailCodesAreGatheredOnceAndLaterPushesStayPending) {
  EventRing ring;
  ring.push(NOTIFY_USB_ATTACHED, 1, nullptr, nullptr, nullptr, nullptr);
  ring.push(NOTIFY_NETWORK_LINK, 0x10, nullptr, nullptr, nullptr, nullptr);
  EXPECT_EQ(ring.takeMailCodes(), NOTIFY_USB_ATTACHED | NOTIFY_NETWORK_LINK);
  EXPECT_EQ(ring.pendingMailMask(), 0u);
  EXPECT_EQ(ring.pendingTrapMask(), 0x3u) << "the traps are not the mail's business";
  ring.push(NOTIFY_USB_DETACHED, 1, nullptr, nullptr, nullptr, nullptr);
  EXPECT_EQ(ring.takeMailCodes(), NOTIFY_USB_DETACHED);
  EXPECT_EQ(ring.takeMailCodes(), 0u);
}

TEST(EventRingTest, ATrapBitStaysWhenItsEntryWasWrittenAgainMeanwhile) {
  EventRing ring;
  ring.push(NOTIFY_USB_ATTACHED, 1, nullptr, nullptr, nullptr, nullptr);
  ring.push(NOTIFY_USB_CONNECTED, 2, nullptr, nullptr, nullptr, nullptr);
  NotifyEvent copies[NOTIFY_RING_SIZE];
  int indexes[NOTIFY_RING_SIZE];
  uint32_t generations[NOTIFY_RING_SIZE];
  EXPECT_EQ(ring.trapCandidates(NOTIFY_USB_PLUG_EVENTS, copies, indexes, generations), 1) << "class disabled";
  ASSERT_EQ(ring.trapCandidates(0, copies, indexes, generations), 2);
  EXPECT_EQ(copies[0].value, 1);
  EXPECT_EQ(indexes[1], 1);
  // Sixteen more events: entry 0 holds a new one before its trap went.
  for (int i = 0; i < NOTIFY_RING_SIZE - 1; ++i) ring.push(NOTIFY_USB_DETACHED, 3, nullptr, nullptr, nullptr, nullptr);
  ring.trapsDone(indexes, generations, 2);
  EXPECT_EQ(ring.pendingTrapMask() & 0x3u, 0x1u);
  ASSERT_EQ(ring.trapCandidates(0, copies, indexes, generations), NOTIFY_RING_SIZE - 1);
  EXPECT_EQ(copies[0].code, NOTIFY_USB_DETACHED) << "oldest first: entry 2";
  EXPECT_EQ(indexes[0], 2);
}

}  // namespace
