#include "web/support/settings_fixture.h"

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "app/processstate.h"
#include "app/shutdowntask.h"
#include "app/webrestart.h"
#include "params/store/paramstore.h"
#include "params/types/intparam.h"
#include "params/types/param.h"
#include "runtime/task/task.h"
#include "web/pages/pagehandlers.h"

namespace webtest {

namespace {

using namespace std::chrono_literals;

std::atomic<int> paramsChanged{0};

class BroadcastWatcher : public Task {
 public:
  BroadcastWatcher() : Task("Watcher") {}
  void run() override {
    for (;;) wait(-1);
  }
  int onMessage(const TaskMessage& msg) override {
    if (msg.flags & MSG_PARAMS_CHANGED) paramsChanged.fetch_add(1);
    return 0;
  }
};

}  // namespace

std::atomic<int> SettingsFixture::restarts{0};
std::atomic<int> SettingsFixture::restartDelay{0};

namespace {
bool countRestart(int delaySeconds) {
  SettingsFixture::restartDelay.store(delaySeconds);
  SettingsFixture::restarts.fetch_add(1);
  return true;
}
}  // namespace

PageRow kSettingsRows[] = {
    {"soSimple", 0, PAGE_RAW, 0, nullptr, nullptr},
    {"/index.html", 0, PAGE_TEMPLATE, 0, nullptr, nullptr},
    {"/start.html", 2, PAGE_TEMPLATE, 1, nullptr, nullptr},
    {"/network/ipv4.html", 3, PAGE_TEMPLATE, 1, handleIpv4Page, nullptr},
    {"/network/ip4vlan.html", 3, PAGE_TEMPLATE, 1, handleIp4VlanPage, nullptr},
    {"/network/ipv6.html", 3, PAGE_TEMPLATE, 1, handleIpv6Page, nullptr},
    {"/network/wlan.html", 3, PAGE_TEMPLATE, 1, handleWlanPage, nullptr},
    {"/network/dns.html", 3, PAGE_TEMPLATE, 1, handleSettingsForm, nullptr},
    {"/network/snmp.html", 3, PAGE_TEMPLATE, 1, handleSettingsForm, nullptr},
    {"/network/bonjour.html", 3, PAGE_TEMPLATE, 1, handleBonjourPage, nullptr},
    {"/device/description.html", 3, PAGE_TEMPLATE, 1, handleDescriptionPage, nullptr},
    {"/device/port.html", 3, PAGE_TEMPLATE, 1, handleSettingsForm, nullptr},
    {"/device/usb.html", 3, PAGE_TEMPLATE, 1, handleUsbPage, nullptr},
    {"/device/time.html", 3, PAGE_TEMPLATE, 1, handleTimePage, nullptr},
    {"/network/email.html", 3, PAGE_TEMPLATE, 1, handleEmailPage, nullptr},
    {"/device/notify.html", 3, PAGE_TEMPLATE, 1, handleNotifyPage, nullptr},
    {"/device/relay.html", 3, PAGE_TEMPLATE, 1, handleRelayPage, nullptr},
    {"/security/ssl.html", 3, PAGE_TEMPLATE, 1, handleSslPage, nullptr},
    {"/security/details.html", 3, PAGE_TEMPLATE, 1, handleSslPage, nullptr},
    {"/security/http.html", 3, PAGE_TEMPLATE, 1, handleHttpSecurityPage, nullptr},
    {"/security/port_access.html", 3, PAGE_TEMPLATE, 1, handleSettingsForm, nullptr},
    {"/security/authentication.html", 3, PAGE_TEMPLATE, 1, handleAuthenticationPage, nullptr},
    {"/security/rqcert.html", 3, PAGE_TEMPLATE, 1, handleSettingsForm, nullptr},
    {"/security/encrypt.html", 3, PAGE_TEMPLATE, 1, handleUsbPage, nullptr},
    {"/security/devacc.html", 3, PAGE_TEMPLATE, 1, handleDevAccPage, nullptr},
    {"/maintenance/backup.html", 3, PAGE_TEMPLATE, 1, nullptr, nullptr},
    {"/maintenance/restart.cgi", 3, PAGE_TEMPLATE, 1, requestRestart, nullptr},
    {"/maintenance/setparams.cgi", 3, PAGE_TEMPLATE, 1, handleSetParams, nullptr},
    {"/maintenance/showparams.html", 3, PAGE_TEMPLATE, 1, handleShowParams, nullptr},
    {"/sitemap.html", 3, PAGE_TEMPLATE, 1, nullptr, nullptr},
};
const int kSettingsRowCount = sizeof kSettingsRows / sizeof kSettingsRows[0];

std::vector<PageRow> SettingsFixture::rowsForTest() const {
  return std::vector<PageRow>(kSettingsRows, kSettingsRows + kSettingsRowCount);
}

void SettingsFixture::SetUp() {
  WebFixture::SetUp();
  rows_ = rowsForTest();
  table_.reset(new PageTable(rows_.data(), static_cast<int32_t>(rows_.size()), nullptr));
  pageTable = table_.get();
  writeTemplate("wait4.html", "WAIT[{?DisplayMsg}] {MetaAutoRefresh}");
  restarts.store(0);
  restartDelay.store(0);
  savedExitCode_ = exitCode.load();
  installWebRestart();
  setShutDownStarterForTesting(countRestart);
  IntParam* features = paramStore.findInt("sw_features");
  savedFeatures_ = features != nullptr ? features->value() : 0;
  // Every parameter comes back after the test, whatever the pages changed.
  int count = 0;
  Param** items = paramStore.items(&count);
  for (int i = 0; i < count; ++i) saved_[items[i]->key()] = items[i]->savedText();
  paramsChanged.store(0);
  BroadcastWatcher* watcher = new BroadcastWatcher;
  watcherId_ = watcher->start(20480);
  ASSERT_GT(watcherId_, 0);
  startListener(servesTls());
}

void SettingsFixture::TearDown() {
  if (watcherId_ > 0) postToTaskId(watcherId_, TaskMessage{0, MSG_QUIT, 0, 0});
  for (int i = 0; i < 500 && countTasks("Watcher") > 0; ++i) std::this_thread::sleep_for(10ms);
  WebFixture::TearDown();
  int count = 0;
  Param** items = paramStore.items(&count);
  for (int i = 0; i < count; ++i) {
    auto entry = saved_.find(items[i]->key());
    if (entry != saved_.end() && items[i]->savedText() != entry->second) items[i]->assign(entry->second.c_str(), -1);
  }
  if (IntParam* features = paramStore.findInt("sw_features")) features->setValue(savedFeatures_);
  paramStore.resetModified();
  setShutDownStarterForTesting(nullptr);
  exitCode.store(savedExitCode_);
}

std::string SettingsFixture::get(const std::string& pathAndQuery) {
  return exchange("GET " + pathAndQuery + " HTTP/1.0\r\n\r\n");
}

std::string SettingsFixture::post(const std::string& path, const std::string& form) {
  return exchange("POST " + path + " HTTP/1.0\r\nContent-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
                  std::to_string(form.size()) + "\r\n\r\n" + form);
}

std::string SettingsFixture::upload(const std::string& path, const std::string& content) {
  return exchange(uploadRequest(path, content));
}

std::string SettingsFixture::uploadRequest(const std::string& path, const std::string& content) {
  const std::string body = "--XyZ\r\nContent-Disposition: form-data; name=\"file\"; filename=\"params.dat\"\r\n\r\n" +
                           content + "\r\n--XyZ--\r\n";
  return "POST " + path + " HTTP/1.0\r\nContent-Type: multipart/form-data; boundary=XyZ\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\n\r\n" + body;
}

void SettingsFixture::setParam(const char* key, const std::string& value) {
  Param* p = paramStore.find(key);
  ASSERT_NE(p, nullptr) << key;
  p->assign(value.c_str(), -1);
  p->clearModified();
}

std::string SettingsFixture::param(const char* key) {
  Param* p = paramStore.find(key);
  return p != nullptr ? p->savedText() : "(none)";
}

void SettingsFixture::setFeatures(uint32_t features) {
  IntParam* p = paramStore.findInt("sw_features");
  ASSERT_NE(p, nullptr);
  p->setValue(static_cast<int32_t>(features));
  p->clearModified();
}

std::string SettingsFixture::savedFile() {
  std::ifstream in(dir_ + "/etc/params.dat");
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

int SettingsFixture::broadcastsSeen(int want) {
  for (int i = 0; i < 200 && paramsChanged.load() < want; ++i) std::this_thread::sleep_for(10ms);
  return paramsChanged.load();
}

}  // namespace webtest
