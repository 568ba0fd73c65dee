#include "usbserver/support/access_server_fixture.h"

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <thread>

#include "params/store/paramstore.h"
#include "params/types/parambase.h"
#include "platform/simusb/usbhost_sim.h"
#include "runtime/file/paths.h"
#include "runtime/socket/interfaceview.h"
#include "runtime/socket/ipaddress.h"
#include "runtime/task/task.h"
#include "runtime/tls/tlscontext.h"
#include "support/test_port.h"
#include "usbserver/connections/usbconnection.h"
#include "usbserver/connections/usblistener.h"
#include "usbserver/devices/usbdevicetable.h"
#include "usbserver/discovery/usbscan.h"

namespace fs = std::filesystem;

namespace {

class Loopback : public InterfaceView {
 public:
  const char* name() const override { return "lo"; }
  int getAddress(IpAddress& out, const char*, int) override {
    out.fromIp4Bytes(127, 0, 0, 1);
    return 1;
  }
};

Loopback loopback;

// One certificate pair per test program, removed at exit.
std::once_flag pairMade;
std::string pairDir;

void removePairDir() {
  std::error_code ignored;
  fs::remove_all(pairDir, ignored);
}

void makePair() {
  char pattern[] = "/tmp/usbacc-pair-XXXXXX";
  if (!mkdtemp(pattern)) return;
  pairDir = pattern;
  std::atexit(removePairDir);
  const std::string command = "openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj /CN=usbserver -keyout " +
                              pairDir + "/own.key -out " + pairDir + "/own.crt >/dev/null 2>&1";
  if (std::system(command.c_str()) != 0) ADD_FAILURE() << "cannot make a certificate pair";
}

void installPair() {
  std::call_once(pairMade, makePair);
  for (const bool key : {false, true}) {
    const std::string target = mapPath(key ? tlsPrivateKeyFile(TLS_PAIR_OWN) : tlsCertificateFile(TLS_PAIR_OWN));
    fs::create_directories(fs::path(target).parent_path());
    fs::copy_file(pairDir + (key ? "/own.key" : "/own.crt"), target, fs::copy_options::overwrite_existing);
  }
}

template <typename Pred>
bool waitUntil(Pred pred, int limitMs) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// A client can exchange a HELLO with the listener.
bool answers(int port, bool tls) {
  usbclient::Client c;
  c.setTimeout(2000);
  return c.open("127.0.0.1", port, tls, 2000) && c.hello(1);
}

}  // namespace

void AccessServerFixture::SetUp() {
  signal(SIGPIPE, SIG_IGN);
  UsbTableFixture::SetUp();
  if (HasFatalFailure()) return;
  installPair();
  plug("1-1", "hub 4");
  plug("1-1.2", "hid");
  plug("1-1.3", "loopback");
  plainPort_ = freeTestPort();
  tlsPort_ = freeTestPort();
  setParam("zov_port", std::to_string(plainPort_));
  setParam("zov_sslport", std::to_string(tlsPort_));
  ASSERT_GE(startUsbListener(&loopback), 0);
  ASSERT_TRUE(waitUntil([&] { return answers(plainPort_, false) && answers(tlsPort_, true); }, 10000))
      << "the server does not answer";
  ASSERT_TRUE(waitUntil([&] { return usbConnectionCount.load() == 0; }, 5000));
  rescanUsbDevices();
  hidRow_ = rowOf("1-1.2");
  loopbackRow_ = rowOf("1-1.3");
  ASSERT_GE(hidRow_, 0);
  ASSERT_GE(loopbackRow_, 0);
}

void AccessServerFixture::stopServer() {
  EXPECT_TRUE(waitUntil([] { return usbConnectionCount.load() == 0; }, 10000)) << "connections still open";
  postToTasksNamed("UsbSrvd", TaskMessage{0, MSG_QUIT, 0, 0});
  EXPECT_TRUE(waitUntil([] { return usbListenerTasks.load() == 0; }, 10000)) << "the listener does not end";
}

void AccessServerFixture::TearDown() {
  stopServer();
  for (const auto& [key, value] : saved_)
    if (Param* p = paramStore.find(key.c_str())) p->set(value.c_str());
  saved_.clear();
  UsbTableFixture::TearDown();
}

void AccessServerFixture::setParam(const std::string& key, const std::string& value) {
  Param* p = paramStore.find(key.c_str());
  ASSERT_NE(nullptr, p) << key;
  if (!saved_.count(key)) saved_[key] = p->savedText();
  ASSERT_NE(0, p->set(value.c_str())) << key << "=" << value;
}

std::unique_ptr<usbclient::Client> AccessServerFixture::rawClient(bool tls) {
  auto c = std::make_unique<usbclient::Client>();
  c->setTimeout(10000);
  EXPECT_TRUE(c->open("127.0.0.1", listenPort(tls), tls)) << c->lastError();
  return c;
}

std::unique_ptr<usbclient::Client> AccessServerFixture::client(bool tls, uint32_t tag) {
  auto c = rawClient(tls);
  EXPECT_TRUE(c->hello(tag)) << c->lastError();
  return c;
}

std::vector<int> AccessServerFixture::listedRows(usbclient::Client& c, const std::vector<usbclient::PortKey>& keys,
                                                 bool sha1) {
  std::vector<usbclient::Device> devices;
  EXPECT_TRUE(c.listDevices(devices, keys, sha1)) << c.lastError();
  std::vector<int> rows;
  for (const usbclient::Device& d : devices) rows.push_back(d.row);
  return rows;
}

bool AccessServerFixture::waitForRowState(int row, int state, int limitMs) {
  return waitUntil([&] { return static_cast<int>(usbDeviceTable[row].rowState()) == state; }, limitMs);
}
