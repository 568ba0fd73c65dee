#include "notify/support/notify_fixture.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <thread>

#include "notify/notifyhooks.h"
#include "notify/notifytask.h"
#include "params/store/paramstore.h"
#include "params/types/param.h"
#include "runtime/task/task.h"
#include "runtime/task/uptime.h"

namespace {

std::mutex recordedMutex;
std::vector<uint32_t> recordedMailCodes;
int64_t wallClockNow = 0;
std::atomic<int> polls{0};

std::atomic<int> shutDowns{0};

bool recordShutDown(int) {
  shutDowns.fetch_add(1);
  return true;
}

bool recordPoll() {
  polls.fetch_add(1);
  return false;
}

bool recordMail(uint32_t codes) {
  std::lock_guard<std::mutex> lock(recordedMutex);
  recordedMailCodes.push_back(codes);
  return false;
}

int64_t testWallClock() { return __atomic_load_n(&wallClockNow, __ATOMIC_RELAXED); }

const NotifyHooks kRecordingHooks = {recordMail, recordPoll, nullptr, nullptr, recordShutDown};

// Any id no task has: the outbox's wake-up post then fails harmlessly.
constexpr int32_t kNoAgentTask = 0x7ffffff0;

Param* findAny(const char* key) {
  int n = 0;
  Param** items = paramStore.items(&n);
  for (int i = 0; i < n; ++i)
    if (std::string(items[i]->key()) == key) return items[i];
  return nullptr;
}

void collect(const SnmpTrapRecord& record, void* context) {
  static_cast<std::vector<SnmpTrapRecord>*>(context)->push_back(record);
}

}  // namespace

void NotifyFixture::SetUp() {
  const char* tz = std::getenv("TZ");
  hadTz_ = tz != nullptr;
  if (tz) savedTz_ = tz;
  setenv("TZ", "UTC", 1);
  tzset();
  {
    std::lock_guard<std::mutex> lock(recordedMutex);
    recordedMailCodes.clear();
  }
  polls.store(0);
  shutDowns.store(0);
  pop3NextPollSecond.store(0);
  setNotifyHooks(&kRecordingHooks);
  setNotifyWallClockForTesting(testWallClock);
  setWallClock(2026, 3, 10, 12, 0);
  openTrapOutbox(kNoAgentTask);
}

void NotifyFixture::TearDown() {
  EXPECT_TRUE(quitRunningTask());
  closeTrapOutbox();
  setNotifyWallClockForTesting(nullptr);
  setNotifyHooks(nullptr);
  for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
    it->param->set(it->text.c_str());
    it->param->clearModified();
  }
  saved_.clear();
  if (hadTz_)
    setenv("TZ", savedTz_.c_str(), 1);
  else
    unsetenv("TZ");
  tzset();
}

void NotifyFixture::setParam(const char* key, const std::string& value) {
  Param* p = findAny(key);
  ASSERT_NE(p, nullptr) << "no parameter " << key;
  bool known = false;
  for (const Saved& s : saved_) known = known || s.param == p;
  if (!known) saved_.push_back({p, p->savedText()});
  p->set(value.c_str());
  ASSERT_EQ(p->savedText(), value) << key;
}

void NotifyFixture::setFeatures(uint32_t features) { setParam("sw_features", std::to_string(features)); }

std::vector<SnmpTrapRecord> NotifyFixture::drainTraps() {
  std::vector<SnmpTrapRecord> out;
  drainTrapOutbox(collect, &out);
  return out;
}

std::vector<uint32_t> NotifyFixture::mailCodes() {
  std::lock_guard<std::mutex> lock(recordedMutex);
  return recordedMailCodes;
}

void NotifyFixture::setWallClock(int year, int month, int day, int hour, int minute) {
  tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  __atomic_store_n(&wallClockNow, static_cast<int64_t>(timegm(&t)), __ATOMIC_RELAXED);
}

bool NotifyFixture::eventually(const std::function<bool()>& cond, int timeoutMs) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < end) {
    if (cond()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return cond();
}

std::string trapText(const SnmpTrapRecord& record, int binding) {
  if (binding < 0 || binding >= record.varbindCount) return "<none>";
  const SnmpTrapVarbind& v = record.varbinds[binding];
  return std::string(reinterpret_cast<const char*>(v.value), static_cast<size_t>(v.valueLength));
}

bool NotifyFixture::passLoopWaitUntil(const std::function<bool()>& cond) {
  for (int i = 0; i < 20; ++i) {
    shiftUptimeForTesting(3100);
    if (eventually(cond, 500)) return true;
  }
  return false;
}

int NotifyFixture::mailboxPolls() { return polls.load(); }

int NotifyFixture::shutDownRequests() { return shutDowns.load(); }

bool NotifyFixture::startRunningTask(bool trapsEnabled, int kickOff) {
  if (notifyTaskId.load() != -1) return false;
  const int before = polls.load();
  if (!startNotifyTask(trapsEnabled, kickOff)) return false;
  if (!eventually([] { return notifyTaskId.load() != -1; })) return false;
  // Past the start wait of 15 s on the program clock (again, should the
  // task have taken its deadline after a move).
  for (int i = 0; i < 20; ++i) {
    shiftUptimeForTesting(1600);
    if (eventually([&] { return polls.load() > before; }, 500)) return true;
  }
  return false;
}

bool NotifyFixture::quitRunningTask() {
  const int32_t id = notifyTaskId.load();
  if (id < 0) return true;
  postToTaskId(id, TaskMessage{0, MSG_QUIT, 0, 0});
  return eventually([] { return notifyTaskId.load() == -1 && notifyTask.load() == nullptr; });
}
