#include "runtime/socket/connection.h"

#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "runtime/bytes/bytebuffer.h"
#include "runtime/socket/connectionsettings.h"
#include "runtime/support/connection_fixtures.h"
#include "runtime/task_test_util.h"
#include "support/scratch_root.h"

namespace {

using conntest::address;
using conntest::connectPair;
using conntest::FakeInterface;
using conntest::threadCpuSeconds;
using conntest::udpOnLoopback;
using namespace std::chrono_literals;

// Waits (bounded) until the socket holds at least count unread bytes.
bool waitForBytes(int fd, int count) {
  for (int i = 0; i < 2000; ++i) {
    int pending = 0;
    if (ioctl(fd, FIONREAD, &pending) == 0 && pending >= count) return true;
    std::this_thread::sleep_for(1ms);
  }
  return false;
}

// Fills the socket's send path until it would block; the bytes sent.
size_t fillUntilFull(int fd) {
  std::vector<char> chunk(65536, 'f');
  size_t total = 0;
  for (int i = 0; i < 10000; ++i) {
    ssize_t n = ::send(fd, chunk.data(), chunk.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n <= 0) break;
    total += static_cast<size_t>(n);
  }
  return total;
}

void shrinkBuffers(int fd) {
  int size = 4096;
  setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
}

double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// ---- life and set-up ------------------------------------------------------

TEST(ConnectionSetup, OpenRecordsFamilyAndTypeAndCloseResets) {
  Connection c(nullptr, nullptr, -1);
  EXPECT_EQ(c.fd, -1);
  EXPECT_EQ(c.vlan, -1);
  EXPECT_EQ(c.local.family(), IpAddress::kFamilyIp4);
  EXPECT_EQ(c.close(), 0);  // nothing to close

  ASSERT_EQ(c.open(AF_INET, SOCK_STREAM, 0), 1);
  EXPECT_EQ(c.family, AF_INET);
  EXPECT_EQ(c.type, SOCK_STREAM);
  const int first = c.fd;
  EXPECT_GE(first, 0);
  EXPECT_NE(fcntl(first, F_GETFD) & FD_CLOEXEC, 0);

  ASSERT_EQ(c.open(AF_INET6, SOCK_DGRAM, 0), 1);  // the old socket is closed first
  EXPECT_TRUE(c.family == AF_INET6 || c.family == AF_INET);
  EXPECT_EQ(c.type, SOCK_DGRAM);

  c.state = CONN_STATE_CONNECTED;
  EXPECT_EQ(c.close(), 1);
  EXPECT_EQ(c.fd, -1);
  EXPECT_EQ(c.state, CONN_STATE_OPEN);

  EXPECT_EQ(c.open(12345, SOCK_STREAM, 0), 0);  // no such family
  EXPECT_EQ(c.fd, -1);
}

TEST(ConnectionSetup, ListenOnlyOnIpStreamsAndAcceptFillsAddresses) {
  Connection datagram(nullptr, nullptr, -1);
  ASSERT_TRUE(udpOnLoopback(datagram));
  EXPECT_EQ(datagram.listen(8), 0);

  Connection listener(nullptr, nullptr, -1);
  ASSERT_TRUE(conntest::listenOnLoopback(listener));
  EXPECT_EQ(listener.state, CONN_STATE_LISTENING);
  EXPECT_NE(listener.local.port(), 0);

  Connection client(nullptr, nullptr, -1);
  ASSERT_EQ(client.open(AF_INET, SOCK_STREAM, 0), 1);
  client.peer = address("127.0.0.1", listener.local.port());
  ASSERT_EQ(client.connect(500), 1);
  EXPECT_EQ(client.state, CONN_STATE_CONNECTED);

  Connection accepted(nullptr, nullptr, -1);
  ASSERT_EQ(accepted.acceptFrom(listener.fd), 1);
  EXPECT_EQ(accepted.family, AF_INET);
  EXPECT_STREQ(ipText(accepted.peer), "127.0.0.1");
  EXPECT_EQ(accepted.local.port(), listener.local.port());

  Connection failed(nullptr, nullptr, -1);
  EXPECT_EQ(failed.acceptFrom(-1), 0);
  EXPECT_EQ(failed.fd, -1);
}

TEST(ConnectionSetup, BindChoosesTheAddress) {
  FakeInterface noAddress("eth0");
  FakeInterface loopback("lo", "127.0.0.1");

  {  // any flag 0 on an interface without an address: 0.0.0.0
    Connection c(nullptr, &noAddress, 5);
    ASSERT_EQ(c.open(AF_INET, SOCK_DGRAM, 0), 1);
    ASSERT_EQ(c.bind(0, 0, -1), 1);
    EXPECT_STREQ(ipText(c.local), "0.0.0.0");
    EXPECT_NE(c.local.port(), 0);  // read back from the socket
    EXPECT_EQ(noAddress.lastVid, 5);
  }
  {  // the interface's address for the connection's VLAN
    Connection c(nullptr, &loopback, -1);
    ASSERT_EQ(c.open(AF_INET, SOCK_DGRAM, 0), 1);
    ASSERT_EQ(c.bind(0, 0, -1), 1);
    EXPECT_STREQ(ipText(c.local), "127.0.0.1");
    IpAddress out;
    EXPECT_EQ(c.localAddress(out), 1);
    EXPECT_STREQ(ipText(out), "127.0.0.1");
  }
  {  // the any flag wins over the interface
    Connection c(nullptr, &loopback, -1);
    ASSERT_EQ(c.open(AF_INET, SOCK_DGRAM, 0), 1);
    const int callsBefore = loopback.calls;
    ASSERT_EQ(c.bind(0, 1, -1), 1);
    EXPECT_STREQ(ipText(c.local), "0.0.0.0");
    EXPECT_EQ(loopback.calls, callsBefore);
  }
  {  // IPv6: the unspecified address
    Connection c(nullptr, &loopback, -1);
    ASSERT_EQ(c.open(AF_INET6, SOCK_STREAM, 0), 1);
    if (c.family == AF_INET6) {
      ASSERT_EQ(c.bind(0, 0, -1), 1);
      EXPECT_EQ(c.local.family(), IpAddress::kFamilyIp6);
      EXPECT_STREQ(ipText(c.local), "::");
    }
  }
}

int vlanAddressForTest(int index, IpAddress& out) {
  if (index != 3) return 0;
  parseIpAddress(out, "127.0.0.3");
  return 1;
}

TEST(ConnectionSetup, BindWithVlanIndexUsesTheVlanAddressParameter) {
  setConnectionSettings(ConnectionSettings{vlanAddressForTest, nullptr, nullptr});
  FakeInterface loopback("lo", "127.0.0.1");
  Connection configured(nullptr, &loopback, 7);
  ASSERT_EQ(configured.open(AF_INET, SOCK_DGRAM, 0), 1);
  EXPECT_EQ(configured.bind(0, 0, 3), 1);
  EXPECT_STREQ(ipText(configured.local), "127.0.0.3");

  Connection missing(nullptr, &loopback, 7);
  ASSERT_EQ(missing.open(AF_INET, SOCK_DGRAM, 0), 1);
  EXPECT_EQ(missing.bind(0, 0, 4), 1);  // no such parameter: 0.0.0.0
  EXPECT_STREQ(ipText(missing.local), "0.0.0.0");
  setConnectionSettings(ConnectionSettings{nullptr, nullptr, nullptr});
}

TEST(ConnectionSetup, LocalAddressFallsBackToTheInterface) {
  FakeInterface iface("eth0", "10.1.2.3");
  Connection c(nullptr, &iface, 4);
  IpAddress out;
  EXPECT_EQ(c.localAddress(out), 1);
  EXPECT_STREQ(ipText(out), "10.1.2.3");
  EXPECT_EQ(iface.lastVid, 4);

  Connection bare(nullptr, nullptr, -1);
  EXPECT_EQ(bare.localAddress(out), 0);
}

TEST(ConnectionSetup, OptionsNeedASocket) {
  Connection none(nullptr, nullptr, -1);
  EXPECT_EQ(none.setReuseAddr(), 0);
  EXPECT_EQ(none.setNonBlocking(), 0);
  EXPECT_EQ(none.setBroadcast(), 0);
  EXPECT_EQ(none.setMulticastTtl(1), 0);
  EXPECT_EQ(none.bindToInterface(), 0);
  EXPECT_EQ(none.socketError(), -1);
  testing::internal::CaptureStderr();
  EXPECT_EQ(none.get_maxseg(), -1);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("connection get_maxseg"), std::string::npos);
  EXPECT_EQ(force2face(0), 0);
  EXPECT_EQ(force2face(-1), 0);

  Connection client(nullptr, nullptr, -1), server(nullptr, nullptr, -1);
  ASSERT_TRUE(connectPair(client, server));
  EXPECT_EQ(client.set_nagleon(), 1);
  EXPECT_GT(client.get_maxseg(), 0);
  EXPECT_EQ(client.setNonBlocking(), 1);
  EXPECT_EQ(fcntl(client.fd, F_GETFL) & O_NONBLOCK, O_NONBLOCK);
  EXPECT_EQ(client.setBlocking(), 1);
  EXPECT_EQ(fcntl(client.fd, F_GETFL) & O_NONBLOCK, 0);

  EXPECT_EQ(client.socketError(), 0);
  server.close();
  ByteBuffer buffer;
  EXPECT_EQ(client.receive(buffer, 200), 0);  // the peer's close
  EXPECT_EQ(client.socketError(), -1);        // CLOSE_WAIT
}

TEST(ConnectionSetup, HighDescriptorsAreWarnedAbout) {
  Connection c(nullptr, nullptr, -1);
  ASSERT_EQ(c.open(AF_INET, SOCK_STREAM, 0), 1);
  const int high = 300;
  ASSERT_EQ(dup2(c.fd, high), high);
  ::close(c.fd);
  c.fd = high;
  testing::internal::CaptureStderr();
  EXPECT_EQ(c.set_nagleon(), 1);  // warned, and done all the same
  const std::string text = testing::internal::GetCapturedStderr();
  EXPECT_NE(text.find("connection set_nagleon"), std::string::npos) << text;
  EXPECT_NE(text.find("fd:300!!"), std::string::npos) << text;
}

// ---- waits ----------------------------------------------------------------

TEST(ConnectionWait, WithoutSocketOrDataTheErrorSaysWhy) {
  Connection none(nullptr, nullptr, -1);
  int error = 0;
  EXPECT_EQ(none.wait4read(100, &error, 1), 0);
  EXPECT_EQ(error, CONN_NO_SOCKET);
  error = 0;
  EXPECT_EQ(none.wait4write(100, &error, 1), 0);
  EXPECT_EQ(error, CONN_NO_SOCKET);
  EXPECT_EQ(none.wait4read(0, nullptr, 1), 0);  // a null error out is allowed

  Connection udp(nullptr, nullptr, -1);
  ASSERT_TRUE(udpOnLoopback(udp));
  error = 0;
  EXPECT_EQ(udp.wait4read(0, &error, 1), 0);  // a poll that finds nothing
  EXPECT_EQ(error, CONN_TIMEOUT);
  EXPECT_EQ(udp.ioStatus, CONN_IO_TIMED_OUT);

  const auto start = std::chrono::steady_clock::now();
  error = 0;
  EXPECT_EQ(udp.wait4read(20, &error, 1), 0);
  EXPECT_EQ(error, CONN_TIMEOUT);
  EXPECT_GE(secondsSince(start), 0.15);
  EXPECT_LT(secondsSince(start), 10.0);
}

TEST(ConnectionWait, WriteWaitOfZeroLetsTheCallerTry) {
  Connection client(nullptr, nullptr, -1), server(nullptr, nullptr, -1);
  ASSERT_TRUE(connectPair(client, server));
  int error = 0;
  EXPECT_EQ(client.wait4write(0, &error, 1), 1);
  EXPECT_EQ(error, 0);

  shrinkBuffers(client.fd);
  shrinkBuffers(server.fd);
  ASSERT_GT(fillUntilFull(client.fd), 0u);
  EXPECT_EQ(client.wait4write(0, &error, 1), 1);  // full, but a poll says "try"
  EXPECT_EQ(error, CONN_TIMEOUT);
  EXPECT_EQ(client.ioStatus, CONN_IO_TIMED_OUT);
  error = 0;
  EXPECT_EQ(client.wait4write(10, &error, 1), 0);  // a real wait times out
  EXPECT_EQ(error, CONN_TIMEOUT);
}

TEST(ConnectionWait, DescriptorsAbove1024AreWatched) {
  rlimit limit;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
  const int high = 1500;
  if (limit.rlim_cur <= static_cast<rlim_t>(high)) {
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max > 2048 ? 2048 : limit.rlim_max;
    if (raised.rlim_cur <= static_cast<rlim_t>(high) || setrlimit(RLIMIT_NOFILE, &raised) != 0)
      GTEST_SKIP() << "cannot raise the descriptor limit above " << high;
  }
  Connection receiver(nullptr, nullptr, -1), sender(nullptr, nullptr, -1);
  ASSERT_TRUE(udpOnLoopback(receiver));
  ASSERT_TRUE(udpOnLoopback(sender));
  ASSERT_EQ(dup2(receiver.fd, high), high);
  ::close(receiver.fd);
  receiver.fd = high;

  int error = 0;
  EXPECT_EQ(receiver.wait4read(0, &error, 1), 0);
  EXPECT_EQ(error, CONN_TIMEOUT);
  sender.peer = receiver.local;
  ASSERT_EQ(sender.send("ping", 4, 0), 4);
  EXPECT_EQ(receiver.wait4read(500, &error, 1), 1);
  ByteBuffer buffer;
  EXPECT_EQ(receiver.receive(buffer, 100), 4);

  // The same inside a task, whose pipe is watched beside the socket.
  std::atomic<int> result{-1};
  ASSERT_TRUE(tasktest::runInTask([&](tasktest::ProbeTask& task) {
    receiver.owner = &task;
    sender.send("pong", 4, 0);
    result = receiver.wait4read(500, nullptr, 1);
    receiver.owner = nullptr;
  }));
  EXPECT_EQ(result.load(), 1);
}

// Body of a task that waits on a socket that stays silent: reports the
// wait's result and the error value it was left with.
struct SilentWait {
  bool forWrite;
  int64_t timeoutCs;
};

Task* startSilentWait(const SilentWait& how, std::shared_ptr<tasktest::TaskProbe> probe,
                      std::chrono::steady_clock::time_point* ended) {
  return tasktest::startTask("Waiter", probe, [how, ended](tasktest::ProbeTask& self) {
    Connection client(&self, nullptr, -1), server(&self, nullptr, -1);
    if (!connectPair(client, server)) {
      self.probe().report(-100);
      return;
    }
    if (how.forWrite) {
      shrinkBuffers(client.fd);
      shrinkBuffers(server.fd);
      fillUntilFull(client.fd);
    }
    self.probe().report(1000);  // waiting now
    int error = 12345;
    const int result = how.forWrite ? client.wait4write(how.timeoutCs, &error, 1)
                                    : client.wait4read(how.timeoutCs, &error, 1);
    *ended = std::chrono::steady_clock::now();
    self.probe().report(result);
    self.probe().report(error);
  });
}

TEST(ConnectionWait, MessagesAreServedAndOnlyAParameterChangeEndsTheWait) {
  for (bool forWrite : {false, true}) {
    SCOPED_TRACE(forWrite ? "wait4write" : "wait4read");
    auto probe = std::make_shared<tasktest::TaskProbe>();
    std::chrono::steady_clock::time_point ended;
    Task* task = startSilentWait(SilentWait{forWrite, -1}, probe, &ended);
    ASSERT_NE(task, nullptr);
    ASSERT_TRUE(probe->waitUntil([](tasktest::TaskProbe& p) { return !p.results.empty(); }));
    ASSERT_EQ(probe->resultsCopy()[0], 1000);
    ASSERT_EQ(task->post(tasktest::message(MSG_ADDRESS_CHANGED)), 0);
    ASSERT_TRUE(probe->waitUntil([](tasktest::TaskProbe& p) { return p.handled.size() == 1; }));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(probe->resultsCopy().size(), 1u) << "an address change must not end the wait";

    const auto posted = std::chrono::steady_clock::now();
    ASSERT_EQ(task->post(tasktest::message(MSG_PARAMS_CHANGED)), 0);
    ASSERT_TRUE(probe->waitUntil([](tasktest::TaskProbe& p) { return p.results.size() == 3; }));
    const auto results = probe->resultsCopy();
    EXPECT_EQ(results[1], 0);      // the socket is not ready
    EXPECT_EQ(results[2], 12345);  // the error is left as the caller set it
    EXPECT_TRUE(tasktest::taskEnded(*probe));
    EXPECT_LT(std::chrono::duration<double>(ended - posted).count(), 10.0);
  }
}

TEST(ConnectionWait, AnotherThreadNeverServesTheOwnersMessages) {
  auto probe = std::make_shared<tasktest::TaskProbe>();
  auto* owner = tasktest::startTask("Owner", probe, [](tasktest::ProbeTask& self) {
    self.probe().report(1);
    // Serve messages only after the test has waited on the owner's socket.
    self.probe().waitUntil([](tasktest::TaskProbe& p) { return p.results.size() >= 2; });
    self.wait(300);
  });
  ASSERT_NE(owner, nullptr);
  ASSERT_TRUE(probe->waitUntil([](tasktest::TaskProbe& p) { return !p.results.empty(); }));
  ASSERT_EQ(owner->post(tasktest::message(MSG_PARAMS_CHANGED)), 0);

  Connection udp(owner, nullptr, -1);
  ASSERT_TRUE(udpOnLoopback(udp));
  int error = 0;
  EXPECT_EQ(udp.wait4read(20, &error, 1), 0);  // the message stays in the owner's pipe
  EXPECT_EQ(error, CONN_TIMEOUT);
  probe->report(2);
  ASSERT_TRUE(probe->waitUntil([](tasktest::TaskProbe& p) { return p.handled.size() == 1; }));
  EXPECT_TRUE(tasktest::taskEnded(*probe));
}

// ---- connect ----------------------------------------------------------------

TEST(ConnectionConnect, AClosedPortFailsAtOnce) {
  Connection probe(nullptr, nullptr, -1);
  ASSERT_TRUE(conntest::listenOnLoopback(probe));
  const int port = probe.local.port();
  probe.close();  // nobody listens there any more

  for (int timeout : {500, 0, -1}) {
    SCOPED_TRACE(timeout);
    Connection c(nullptr, nullptr, -1);
    ASSERT_EQ(c.open(AF_INET, SOCK_STREAM, 0), 1);
    c.peer = address("127.0.0.1", port);
    const auto start = std::chrono::steady_clock::now();
    errno = 0;
    EXPECT_EQ(c.connect(timeout), 0);
    EXPECT_EQ(errno, ECONNREFUSED);
    EXPECT_LT(secondsSince(start), 4.0);
    EXPECT_NE(c.state, CONN_STATE_CONNECTED);
    EXPECT_NE(fcntl(c.fd, F_GETFL) & O_NONBLOCK, O_NONBLOCK) << "blocking mode is restored";
  }
}

TEST(ConnectionConnect, KeepsANonBlockingSocketNonBlocking) {
  Connection listener(nullptr, nullptr, -1);
  ASSERT_TRUE(conntest::listenOnLoopback(listener));
  Connection c(nullptr, nullptr, -1);
  ASSERT_EQ(c.open(AF_INET, SOCK_STREAM, 0), 1);
  ASSERT_EQ(c.setNonBlocking(), 1);
  c.peer = address("127.0.0.1", listener.local.port());
  EXPECT_EQ(c.connect(300), 1);
  EXPECT_EQ(fcntl(c.fd, F_GETFL) & O_NONBLOCK, O_NONBLOCK);
}

// ---- receive and send -------------------------------------------------------

TEST(ConnectionTransfer, AStreamReadThatFillsTheBufferIsKept) {
  Connection client(nullptr, nullptr, -1), server(nullptr, nullptr, -1);
  ASSERT_TRUE(connectPair(client, server));
  std::string data(kReceiveBufferSize, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>('a' + i % 26);
  ASSERT_EQ(server.send(data.data(), static_cast<int>(data.size()), 0), kReceiveBufferSize);
  ASSERT_TRUE(waitForBytes(client.fd, kReceiveBufferSize));

  ByteBuffer buffer;
  ASSERT_EQ(client.receive(buffer, 100), kReceiveBufferSize);
  EXPECT_EQ(buffer.length, kReceiveBufferSize);
  EXPECT_EQ(std::string(buffer.base, static_cast<size_t>(buffer.length)), data);

  server.close();
  EXPECT_EQ(client.receive(buffer, 100), 0);  // closed by the peer
  EXPECT_EQ(buffer.length, 0);
}

TEST(ConnectionTransfer, DatagramsThatDoNotFitAreReportedCut) {
  Connection receiver(nullptr, nullptr, -1), sender(nullptr, nullptr, -1);
  ASSERT_TRUE(udpOnLoopback(receiver));
  ASSERT_TRUE(udpOnLoopback(sender));
  sender.peer = receiver.local;

  struct Case {
    int size;
    int expected;
  };
  // A datagram of exactly the buffer's size is whole: only a larger one is cut.
  const Case cases[] = {{kReceiveBufferSize + 1000, -1}, {kReceiveBufferSize, kReceiveBufferSize}, {10, 10}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    const std::string data(static_cast<size_t>(c.size), 'd');
    ASSERT_EQ(sender.send(data.data(), c.size, 0), c.size);
    ByteBuffer buffer;
    EXPECT_EQ(receiver.receive(buffer, 100), c.expected);
    if (c.expected < 0) {
      EXPECT_EQ(buffer.data, nullptr);  // released
    } else {
      EXPECT_EQ(buffer.length, c.expected);
      EXPECT_EQ(receiver.peer.port(), sender.local.port());  // the sender
    }
  }
  ByteBuffer buffer;
  EXPECT_EQ(receiver.receive(buffer, 0), -1);  // nothing waiting
  EXPECT_EQ(buffer.data, nullptr);
}

TEST(ConnectionTransfer, ReceiveReusesBuffersWithRoomForAFrame) {
  Connection receiver(nullptr, nullptr, -1), sender(nullptr, nullptr, -1);
  ASSERT_TRUE(udpOnLoopback(receiver));
  ASSERT_TRUE(udpOnLoopback(sender));
  sender.peer = receiver.local;

  ByteBuffer buffer;
  ASSERT_EQ(sender.send("one", 3, 0), 3);
  ASSERT_EQ(receiver.receive(buffer, 100), 3);
  EXPECT_EQ(buffer.capacity, kReceiveBufferSize);
  char* first = buffer.data;
  ASSERT_EQ(sender.send("two!", 4, 0), 4);
  ASSERT_EQ(receiver.receive(buffer, 100), 4);
  EXPECT_EQ(buffer.data, first);  // no allocation per datagram
  EXPECT_EQ(std::string(buffer.base, 4), "two!");

  // Less than a frame free: a fresh buffer.
  ByteBuffer small;
  ASSERT_EQ(small.reserve(2000), 1);
  small.length = 1000;
  ASSERT_EQ(sender.send("three", 5, 0), 5);
  ASSERT_EQ(receiver.receive(small, 100), 5);
  EXPECT_EQ(small.capacity, kReceiveBufferSize);

  // Lent memory is left alone and replaced by an owned buffer.
  char lent[8] = "lent";
  ByteBuffer borrowed;
  borrowed.data = borrowed.base = lent;
  borrowed.capacity = sizeof lent;
  ASSERT_EQ(sender.send("four", 4, 0), 4);
  ASSERT_EQ(receiver.receive(borrowed, 100), 4);
  EXPECT_EQ(borrowed.owned, 1);
  EXPECT_STREQ(lent, "lent");
}

TEST(ConnectionTransfer, Ip6DatagramsOnLoopback) {
  Connection server(nullptr, nullptr, -1), client(nullptr, nullptr, -1);
  if (!udpOnLoopback(server, AF_INET6)) GTEST_SKIP() << "no IPv6 loopback here";
  ASSERT_TRUE(udpOnLoopback(client, AF_INET6));
  EXPECT_STREQ(ipText(server.local), "::1");

  client.peer = server.local;
  ASSERT_EQ(client.send("hello6", 6, 0), 6);
  ByteBuffer buffer;
  ASSERT_EQ(server.receive(buffer, 200), 6);
  EXPECT_EQ(server.peer.family(), IpAddress::kFamilyIp6);
  EXPECT_EQ(server.peer.port(), client.local.port());

  ASSERT_EQ(server.send("reply", 5, 0), 5);  // back to the sender
  ASSERT_EQ(client.receive(buffer, 200), 5);
  EXPECT_EQ(std::string(buffer.base, 5), "reply");
}

TEST(ConnectionTransfer, SendingToAGonePeerReportsTheErrorWithoutASignal) {
  struct sigaction previous;
  struct sigaction deflt;
  std::memset(&deflt, 0, sizeof deflt);
  deflt.sa_handler = SIG_DFL;
  sigaction(SIGPIPE, &deflt, &previous);

  Connection client(nullptr, nullptr, -1), server(nullptr, nullptr, -1);
  ASSERT_TRUE(connectPair(client, server));
  server.close();
  int result = 0;
  const std::string data(1000, 'x');
  for (int i = 0; i < 100 && result >= 0; ++i) {
    result = client.send(data.data(), static_cast<int>(data.size()), 0);
    if (result >= 0) std::this_thread::sleep_for(5ms);
  }
  EXPECT_TRUE(result == -EPIPE || result == -ECONNRESET) << result;
  sigaction(SIGPIPE, &previous, nullptr);

  Connection none(nullptr, nullptr, -1);
  EXPECT_EQ(none.send("x", 1, 0), -EBADF);
}

TEST(ConnectionTransfer, SendWaitsForRoomWithoutSpinning) {
  Connection client(nullptr, nullptr, -1), server(nullptr, nullptr, -1);
  ASSERT_TRUE(connectPair(client, server));
  ASSERT_EQ(client.setNonBlocking(), 1);  // EAGAIN instead of blocking

  // With the once flag a full socket gives 0 at once.
  const size_t queued = fillUntilFull(client.fd);
  ASSERT_GT(queued, 0u);
  EXPECT_EQ(client.send("x", 1, 1), 0);

  const int total = 4 * 1024 * 1024;
  const std::string data(total, 's');
  std::atomic<size_t> drained{0};
  // The clock starts before the reader, so its pause lies inside the send.
  const double cpuBefore = threadCpuSeconds();
  const auto start = std::chrono::steady_clock::now();
  std::thread reader([&] {
    std::this_thread::sleep_for(500ms);  // the sender meets a full socket first
    std::vector<char> chunk(65536);
    const size_t want = queued + static_cast<size_t>(total);
    const auto end = std::chrono::steady_clock::now() + 60s;
    while (drained < want && std::chrono::steady_clock::now() < end) {
      ssize_t n = ::recv(server.fd, chunk.data(), chunk.size(), 0);
      if (n <= 0) break;
      drained += static_cast<size_t>(n);
    }
  });
  EXPECT_EQ(client.send(data.data(), total, 0), total);
  const double wall = secondsSince(start);
  const double cpu = threadCpuSeconds() - cpuBefore;
  reader.join();
  EXPECT_EQ(drained.load(), queued + static_cast<size_t>(total));
  EXPECT_GE(wall, 0.3);
  EXPECT_LT(cpu, 0.5 * wall) << "send spun while the socket was full";
}

// A peer that keeps the socket full must not hold the owner's messages back.
TEST(ConnectionTransfer, ABusyStreamStillLetsTheOwnerServeMessages) {
  Connection client(nullptr, nullptr, -1), server(nullptr, nullptr, -1);
  ASSERT_TRUE(connectPair(client, server));
  const size_t total = 256u << 20;
  std::atomic<size_t> received{0};
  std::atomic<size_t> receivedWhenHandled{0};
  auto probe = std::make_shared<tasktest::TaskProbe>();
  Task* task = tasktest::startTask(
      "Reader", probe,
      [&](tasktest::ProbeTask& self) {
        server.owner = &self;
        ByteBuffer buffer;
        for (;;) {
          const int n = server.receive(buffer, 500);
          if (n <= 0) break;
          received += static_cast<size_t>(n);
        }
        server.owner = nullptr;
      },
      [&](tasktest::ProbeTask&, const TaskMessage&) {
        receivedWhenHandled = received.load();
        return 0;
      });
  ASSERT_NE(task, nullptr);
  std::thread sender([&] {
    const std::string chunk(65536, 'b');
    for (size_t sent = 0; sent < total; sent += chunk.size())
      if (client.send(chunk.data(), static_cast<int>(chunk.size()), 0) != static_cast<int>(chunk.size())) break;
    client.close();
  });
  for (int i = 0; i < 5000 && received < (1u << 20); ++i) std::this_thread::sleep_for(1ms);
  ASSERT_EQ(task->post(tasktest::message(MSG_ADDRESS_CHANGED)), 0);
  sender.join();
  EXPECT_TRUE(tasktest::taskEnded(*probe, 60s));
  EXPECT_EQ(received.load(), total);
  EXPECT_EQ(probe->handledCount(), 1u);
  EXPECT_LT(receivedWhenHandled.load(), total) << "the message waited for the stream to end";
}

// ---- Unix-domain sockets ------------------------------------------------------

class ConnectionUnix : public ScratchRoot {
 protected:
  void SetUp() override {
    ScratchRoot::SetUp();
    mkdir(path("var").c_str(), 0755);
  }
  bool exists(const std::string& relative) {
    struct stat st;
    return lstat(path(relative).c_str(), &st) == 0;
  }
  // A socket file at the path whose socket is gone.
  void leaveStaleSocket(const std::string& relative, int type) {
    const int s = ::socket(AF_UNIX, type, 0);
    ASSERT_GE(s, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path(relative).c_str());
    ASSERT_EQ(::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ::close(s);
  }
};

TEST_F(ConnectionUnix, DatagramSocketsTalkThroughTheirPaths) {
  Connection server(nullptr, nullptr, -1), client(nullptr, nullptr, -1);
  ASSERT_EQ(server.openUnixDatagram("/var/server.sock"), 1);
  EXPECT_EQ(server.family, CONN_FAMILY_UNIX);
  EXPECT_EQ(server.type, SOCK_DGRAM);
  EXPECT_TRUE(exists("var/server.sock"));

  ASSERT_EQ(client.openUnixDatagram(nullptr), 1);  // a generated name under /var
  bool generated = false;
  for (const auto& entry : std::filesystem::directory_iterator(path("var")))
    generated = generated || entry.path().filename().string().rfind("unixsock_", 0) == 0;
  EXPECT_TRUE(generated);

  ASSERT_EQ(client.connectUnix("/var/server.sock"), 1);
  EXPECT_EQ(client.state, CONN_STATE_CONNECTED);
  ASSERT_EQ(client.send("status", 6, 0), 6);
  ByteBuffer buffer;
  ASSERT_EQ(server.receive(buffer, 200), 6);
  EXPECT_EQ(std::string(buffer.base, 6), "status");
}

TEST_F(ConnectionUnix, ANameLeftByADeadProcessIsTakenOver) {
  leaveStaleSocket("var/stale.sock", SOCK_DGRAM);
  Connection c(nullptr, nullptr, -1);
  EXPECT_EQ(c.openUnixDatagram("/var/stale.sock"), 1);

  Connection tooLong(nullptr, nullptr, -1);
  const std::string name = "/var/" + std::string(103, 'n');  // 108 characters
  EXPECT_EQ(tooLong.openUnixDatagram(name.c_str()), 0);
  EXPECT_EQ(tooLong.fd, -1);
}

TEST_F(ConnectionUnix, OnlyARefusedConnectRemovesThePath) {
  leaveStaleSocket("var/stale.sock", SOCK_STREAM);
  Connection c(nullptr, nullptr, -1);
  ASSERT_EQ(c.open(AF_UNIX, SOCK_STREAM, 0), 1);
  errno = 0;
  EXPECT_EQ(c.connectUnix("/var/stale.sock"), 0);
  EXPECT_EQ(errno, ECONNREFUSED);
  EXPECT_FALSE(exists("var/stale.sock")) << "a stale socket file is removed";

  // A live server of another socket type: the connect fails, its socket stays.
  Connection live(nullptr, nullptr, -1);
  ASSERT_EQ(live.openUnixDatagram("/var/live.sock"), 1);
  Connection stream(nullptr, nullptr, -1);
  ASSERT_EQ(stream.open(AF_UNIX, SOCK_STREAM, 0), 1);
  EXPECT_EQ(stream.connectUnix("/var/live.sock"), 0);
  EXPECT_TRUE(exists("var/live.sock"));

  // Nor is a plain file at the path ever removed.
  writeFile("var/plain", "data");
  Connection other(nullptr, nullptr, -1);
  ASSERT_EQ(other.open(AF_UNIX, SOCK_STREAM, 0), 1);
  EXPECT_EQ(other.connectUnix("/var/plain"), 0);
  EXPECT_TRUE(exists("var/plain"));

  const std::string longPath = "/var/" + std::string(101, 'p');  // 106 characters
  EXPECT_EQ(other.connectUnix(longPath.c_str()), 0);
}

}  // namespace
