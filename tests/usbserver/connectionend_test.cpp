// A connection task ended by MSG_QUIT (the program's shutdown) wherever it
// is in a CONNECT: it gives back what it took, no row keeps its handle or
// event source, nothing it made is left behind (the sanitizer build checks
// for leaks at the end of each case), and the device can be connected
// again by the next client.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

#include "params/store/paramstore.h"
#include "params/types/parambase.h"
#include "runtime/task/task.h"
#include "usbserver/connections/usbconnection.h"
#include "usbserver/devices/usbdevicetable.h"
#include "usbserver/support/usbserver_fixture.h"

namespace {

// Ids of the running connection tasks.
std::vector<int32_t> connectionTaskIds() {
  std::vector<int32_t> ids;
  if (!TLOCK()) return ids;
  for (Task* t : taskTable)
    if (t && t->id > 0 && t->name && std::string(t->name) == "UsbSrvdPrcs") ids.push_back(t->id);
  unlockTaskTable();
  return ids;
}

std::vector<uint8_t> connectBody(int row, int port) {
  std::vector<uint8_t> body(2 + USB_CLIENT_NAME_SIZE, 0);
  body[0] = static_cast<uint8_t>(row);
  body[1] = static_cast<uint8_t>(port);
  body[2] = 'q';
  return body;
}

class ConnectionEndTest : public UsbServerFixture {
 protected:
  void SetUp() override {
    UsbServerFixture::SetUp();
    if (HasFatalFailure()) return;
    plug("1-3", "loopback");
    rescan();
    row_ = rowOf("1-3");
    ASSERT_GE(row_, 0);
    port_ = usbDeviceTable[row_].port;
    startServer();
  }

  void TearDown() override {
    if (Param* p = paramStore.find(preResetKey().c_str())) p->set("off");
    UsbServerFixture::TearDown();
  }

  std::string preResetKey() const { return "zov_prereset_" + std::to_string(port_); }

  // A client whose connection task has started; its task id.
  int32_t connectedClient(UsbTestClient& c) {
    const std::vector<int32_t> before = connectionTaskIds();
    EXPECT_TRUE(c.connect(plainPort_, false));
    int32_t id = -1;
    waitFor(
        [&] {
          for (int32_t candidate : connectionTaskIds()) {
            bool known = false;
            for (int32_t old : before) known = known || old == candidate;
            if (!known) id = candidate;
          }
          return id > 0;
        },
        20000);
    return id;
  }

  static void quit(int32_t taskId) { EXPECT_EQ(0, postToTaskId(taskId, TaskMessage{0, MSG_QUIT, 0, 0})); }

  // Locked reads of the row.
  UsbEventSource* rowSource() {
    muxIn(row_);
    UsbEventSource* s = usbDeviceTable[row_].eventSource;
    unlockUsbDeviceRow(row_);
    return s;
  }
  UsbRowState rowState() { return usbDeviceTable[row_].rowState(); }

  int row_ = -1;
  int port_ = 0;
};

}  // namespace

// Each stage brings a connection task there, quits it and waits until
// every connection task has ended.
class ConnectionEndStages : public ConnectionEndTest {
 public:
  void waitForRequestInBody(UsbTestClient& c, int row, int port) {
    // The header and the first byte of the body: the task waits for the rest.
    const std::vector<uint8_t> body = connectBody(row, port);
    ASSERT_TRUE(c.send(USB_OP_CONNECT, 1, {body[0]}));
  }

  void quitWhileReadingTheBody() {
    UsbTestClient c;
    const int32_t id = connectedClient(c);
    ASSERT_GT(id, 0);
    waitForRequestInBody(c, row_, port_);
    quit(id);
    ASSERT_TRUE(waitConnections(0, 20000));
  }

  void quitInThePreResetPause() {
    ASSERT_NE(nullptr, paramStore.find(preResetKey().c_str()));
    paramStore.find(preResetKey().c_str())->set("on");
    UsbTestClient c;
    const int32_t id = connectedClient(c);
    ASSERT_GT(id, 0);
    ASSERT_TRUE(c.send(USB_OP_CONNECT, 2, connectBody(row_, port_)));
    quit(id);
    ASSERT_TRUE(waitConnections(0, 20000));
  }

  void quitAfterTheReply() {
    UsbTestClient c;
    const int32_t id = connectedClient(c);
    ASSERT_GT(id, 0);
    UsbReply reply;
    ASSERT_TRUE(c.request(reply, USB_OP_CONNECT, 3, connectBody(row_, port_)));
    ASSERT_EQ(USB_STATUS_OK, reply.header.status);
    quit(id);
    ASSERT_TRUE(waitConnections(0, 20000));
  }

  // A takes the device, then stops in the middle of a request of its own;
  // B's CONNECT takes the device from A and waits for A to let go.
  void quitWhileWaitingForTheOldOwner() {
    UsbTestClient a;
    const int32_t idA = connectedClient(a);
    ASSERT_GT(idA, 0);
    UsbReply reply;
    ASSERT_TRUE(a.request(reply, USB_OP_CONNECT, 4, connectBody(row_, port_)));
    ASSERT_EQ(USB_STATUS_OK, reply.header.status);
    waitForRequestInBody(a, row_, port_);

    UsbTestClient b;
    const int32_t idB = connectedClient(b);
    ASSERT_GT(idB, 0);
    ASSERT_TRUE(b.send(USB_OP_CONNECT, 5, connectBody(row_, port_)));
    // Revoked from A (B now waits for A's task, busy with its request).
    ASSERT_TRUE(waitFor([&] { return rowState() != UsbRowState::IN_USE; }, 20000));
    quit(idB);
    ASSERT_TRUE(waitConnections(1, 20000));
    quit(idA);
    ASSERT_TRUE(waitConnections(0, 20000));
  }

  // The device went away while A held it, and its row was recycled before
  // A was told (a rescan racing A's CONNECT can leave it so): the row no
  // longer points at A's source, A still has it.
  void quitAfterTheRowWasRecycledUnderIt() {
    UsbTestClient a;
    const int32_t id = connectedClient(a);
    ASSERT_GT(id, 0);
    UsbReply reply;
    ASSERT_TRUE(a.request(reply, USB_OP_CONNECT, 6, connectBody(row_, port_)));
    ASSERT_EQ(USB_STATUS_OK, reply.header.status);
    ASSERT_NE(nullptr, rowSource());
    usbDeviceTable[row_].recycle();
    quit(id);
    ASSERT_TRUE(waitConnections(0, 20000));
    rescan();
    row_ = rowOf("1-3");
    ASSERT_GE(row_, 0);
  }
};

TEST_F(ConnectionEndStages, AConnectionQuitAnywhereInAConnectLeavesNothingBehind) {
  const std::vector<std::pair<const char*, void (ConnectionEndStages::*)()>> stages = {
      {"while reading the body", &ConnectionEndStages::quitWhileReadingTheBody},
      {"in the pre-reset pause", &ConnectionEndStages::quitInThePreResetPause},
      {"after the reply", &ConnectionEndStages::quitAfterTheReply},
      {"while waiting for the old owner", &ConnectionEndStages::quitWhileWaitingForTheOldOwner},
      {"after the row was recycled under it", &ConnectionEndStages::quitAfterTheRowWasRecycledUnderIt},
  };
  for (const auto& stage : stages) {
    SCOPED_TRACE(stage.first);
    (this->*stage.second)();
    if (HasFatalFailure()) return;
    if (Param* p = paramStore.find(preResetKey().c_str())) p->set("off");

    EXPECT_NE(UsbRowState::IN_USE, rowState());
    EXPECT_EQ(nullptr, rowSource());
    EXPECT_EQ(nullptr, usbDeviceTable[row_].owner);
    EXPECT_EQ(0, host().openHandleCount());
#if defined(__SANITIZE_ADDRESS__)
    EXPECT_EQ(0, __lsan_do_recoverable_leak_check()) << "the connection left memory behind";
#endif
    // The next client gets the device.
    UsbTestClient& next = client();
    EXPECT_EQ(USB_STATUS_OK, connectDevice(next, row_, port_).header.status);
    next.close();
    ASSERT_TRUE(waitConnections(0, 20000));
    ASSERT_TRUE(waitFor([&] { return rowState() == UsbRowState::PRESENT; }, 20000));
  }
}
