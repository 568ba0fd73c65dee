// The listener and connection tasks: TLS connections, the idle limit, the
// connection limit and the listeners reopened after a port change.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "params/store/paramstore.h"
#include "runtime/task/task.h"
#include "runtime/task/uptime.h"
#include "runtime/tls/tlsconnection.h"
#include "support/test_port.h"
#include "usbserver/connections/usbconnection.h"
#include "usbserver/connections/usblistener.h"
#include "usbserver/devices/usbdevicetable.h"
#include "usbserver/protocol/wireprotocol.h"
#include "usbserver/support/usbserver_fixture.h"

namespace {

using UsbConnectionTaskTest = UsbServerFixture;

TEST_F(UsbConnectionTaskTest, TlsConnectionIsServedAndDescribed) {
  startServer();
  UsbTestClient& c = client(true);
  ASSERT_NE(nullptr, c.socket().session);
  UsbReply r;
  ASSERT_TRUE(c.request(r, USB_OP_HELLO, 0x0badcafe));
  EXPECT_EQ(0x0badcafeu, r.header.tag);
  EXPECT_EQ(USB_STATUS_OK, r.header.status);
  char text[USB_TLS_DESCRIPTION_SIZE];
  copyUsbTlsDescription(text, sizeof text);
  EXPECT_NE(nullptr, std::strstr(text, "TLSv1")) << text;
}

TEST_F(UsbConnectionTaskTest, IdleClientIsDroppedAfterTheHeartbeat) {
  // The clock moves by minutes, so the real time the test itself takes
  // (seconds at most, even on a loaded machine) never decides the outcome.
  setIntParam("zov_heartbeat", 600);
  startServer();
  UsbTestClient& idle = client();
  UsbTestClient& talking = client();
  ASSERT_TRUE(waitConnections(2));
  UsbReply r;
  ASSERT_TRUE(idle.request(r, USB_OP_HELLO, 1));
  ASSERT_TRUE(talking.request(r, USB_OP_HELLO, 1));
  shiftUptimeForTesting(100 * 500);
  ASSERT_TRUE(talking.request(r, USB_OP_KEEP_ALIVE, 2, be32(2)));  // 500 s idle: kept
  shiftUptimeForTesting(100 * 200);
  // idle is 700 s idle now, talking 200 s: only idle goes at the next check.
  EXPECT_TRUE(idle.closedByServer(4000));
  ASSERT_TRUE(talking.request(r, USB_OP_KEEP_ALIVE, 3, be32(3)));
  EXPECT_TRUE(waitConnections(1));
}

TEST_F(UsbConnectionTaskTest, HeartbeatZeroNeverDropsForIdleness) {
  setIntParam("zov_heartbeat", 0);
  startServer();
  UsbTestClient& idle = client();
  ASSERT_TRUE(waitConnections(1));
  shiftUptimeForTesting(100 * 3600);
  EXPECT_TRUE(idle.quietFor(1500));
  UsbReply r;
  ASSERT_TRUE(idle.request(r, USB_OP_HELLO, 1));
}

TEST_F(UsbConnectionTaskTest, SixtyFirstConnectionIsServedAndSixtySecondClosed) {
  startServer();
  std::vector<std::unique_ptr<UsbTestClient>> held;
  for (int i = 0; i < USB_MAX_CONNECTIONS + 1; ++i) {
    held.push_back(std::make_unique<UsbTestClient>());
    ASSERT_TRUE(held.back()->connect(plainPort_, false)) << i;
    ASSERT_TRUE(waitConnections(i + 1)) << i;
  }
  UsbReply r;
  ASSERT_TRUE(held.back()->request(r, USB_OP_HELLO, 61));
  UsbTestClient extra;
  ASSERT_TRUE(extra.connect(plainPort_, false));
  EXPECT_TRUE(extra.closedByServer(3000));  // closed without any data
  EXPECT_EQ(USB_MAX_CONNECTIONS + 1, usbConnectionCount.load());

  held.back()->close();
  ASSERT_TRUE(waitConnections(USB_MAX_CONNECTIONS));
  UsbTestClient again;
  ASSERT_TRUE(again.connect(plainPort_, false));
  ASSERT_TRUE(again.request(r, USB_OP_HELLO, 62));
  again.close();
  for (auto& c : held) c->close();
  EXPECT_TRUE(waitConnections(0, 10000));
}

// Tasks that hold a slot of the task table and never run.
struct SlotHolder : Task {
  SlotHolder() : Task("SlotHolder") {}
  void run() override {}
};

int freeTaskSlots() {
  int n = 0;
  if (TLOCK()) {
    for (Task* t : taskTable) n += t == nullptr;
    unlockTaskTable();
  }
  return n;
}

TEST_F(UsbConnectionTaskTest, NewClientIsClosedWhileItsTaskWouldTakeASystemSlot) {
  startServer();
  std::vector<std::unique_ptr<SlotHolder>> holders;
  while (freeTaskSlots() > TASK_SLOTS_KEPT_FOR_SYSTEM) holders.push_back(std::make_unique<SlotHolder>());
  UsbTestClient refused;
  ASSERT_TRUE(refused.connect(plainPort_, false));
  EXPECT_TRUE(refused.closedByServer(3000));  // closed without any data
  EXPECT_EQ(0, usbConnectionCount.load());
  EXPECT_EQ(TASK_SLOTS_KEPT_FOR_SYSTEM, freeTaskSlots());

  holders.pop_back();
  UsbTestClient served;
  ASSERT_TRUE(served.connect(plainPort_, false));
  UsbReply r;
  ASSERT_TRUE(served.request(r, USB_OP_HELLO, 7));
  served.close();
  EXPECT_TRUE(waitConnections(0, 10000));
}

TEST_F(UsbConnectionTaskTest, PortChangeReopensTheListenersAndKeepsConnections) {
  startServer();
  UsbTestClient& open = client();
  ASSERT_TRUE(waitConnections(1));
  const int oldPort = plainPort_;
  int newPort = freeTestPort();
  while (newPort == tlsPort_ || newPort == oldPort) newPort = freeTestPort();
  setIntParam("zov_port", newPort);
  paramStore.commitAndSave();
  broadcastToTasks(TaskMessage{0, MSG_PARAMS_CHANGED, 0, 0});

  EXPECT_TRUE(waitFor(
      [&] {
        UsbTestClient probe;
        return probe.connect(newPort, false);
      },
      7000));
  UsbTestClient old;
  EXPECT_FALSE(old.connect(oldPort, false));
  UsbReply r;
  ASSERT_TRUE(open.request(r, USB_OP_HELLO, 5));  // the open connection goes on
  UsbTestClient tls;
  EXPECT_TRUE(tls.connect(tlsPort_, true));
  plainPort_ = newPort;
}

TEST_F(UsbConnectionTaskTest, ListenerEndsCleanlyWithoutClients) {
  startServer();
  stopServer();
  EXPECT_EQ(0, usbListenerTasks.load());
  UsbTestClient late;
  EXPECT_FALSE(late.connect(plainPort_, false));
}

}  // namespace
