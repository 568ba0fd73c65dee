#include "app/buttontask.h"

#include <sys/epoll.h>

#include <cerrno>
#include <cstdio>
#include <mutex>

#include "app/gpiodevice.h"
#include "params/identity/productparams.h"
#include "params/store/paramstore.h"
#include "params/types/intparam.h"
#include "params/types/ip4param.h"

namespace {

constexpr int kBoard278 = 278;
constexpr uint32_t kWpsButtonProduct = 357;
constexpr int kReadSize = 32;
constexpr int kPollMs = 6000;

std::mutex hooksMutex;
RestartHooks restartHooks{nullptr, nullptr};

RestartHooks currentHooks() {
  std::lock_guard<std::mutex> g(hooksMutex);
  return restartHooks;
}

}  // namespace

void setRestartHooks(const RestartHooks& hooks) {
  std::lock_guard<std::mutex> g(hooksMutex);
  restartHooks = hooks;
}

bool startWpsFromButton() {
  // The WLAN control tasks take this over; until then a short press only counts.
  return false;
}

ButtonTask::ButtonTask(GpioDevice* device) : Task("GPio"), device_(device) {
  for (int i = 0; i < BUTTON_COUNT; ++i) {
    buttonFds_[i] = -1;
    buttonEvents_[i] = {nullptr, nullptr, -1};
  }
}

ButtonTask::~ButtonTask() {
  for (int i = 0; i < BUTTON_COUNT; ++i) {
    if (buttonFds_[i] < 0) continue;
    removeEvent(buttonFds_[i]);
    device_->closeButton(buttonFds_[i]);
    buttonFds_[i] = -1;
    buttonEvents_[i] = {nullptr, nullptr, -1};
  }
}

int ButtonTask::onButtonReadable(TaskEventRecord* record, uint32_t) {
  if (!record) return 0;
  ButtonTask* task = static_cast<ButtonTask*>(record->owner);
  if (!task) return 0;
  return task->onButtonEvent(record->fd);
}

void ButtonTask::run() {
  device_->startUp(this);

  Ip4Param* addr = paramStore.findIp4("ip_addr");
  if (addr && addr->hasValue() && !addr->isLinkLocal())
    device_->showAddressOkPattern();
  else
    device_->showNoAddressPattern();

  uint32_t mask = device_->buttonMask();
  if (mask == 0) return;

  for (int i = 0; i < BUTTON_COUNT; ++i) {
    if (!(mask & (1u << i))) continue;
    buttonFds_[i] = device_->openButton(i);
    buttonEvents_[i] = {this, onButtonReadable, buttonFds_[i]};
    // A device that did not open stays registered as -1 and never reports.
    if (buttonFds_[i] >= 0) addEvent(&buttonEvents_[i], EPOLLIN);
  }

  for (;;) pollEvents(kPollMs);
}

int ButtonTask::onButtonEvent(int fd) {
  char buf[kReadSize];
  int got = device_->readButton(fd, buf, kReadSize);
  if (got < 0 && (errno == EINTR || errno == EAGAIN)) return 0;
  if (got <= 0) {
    // The device has gone: stop listening to it rather than wake up on it
    // for ever.
    for (int i = 0; i < BUTTON_COUNT; ++i) {
      if (buttonFds_[i] != fd || fd < 0) continue;
      removeEvent(fd);
      device_->closeButton(fd);
      buttonFds_[i] = -1;
      buttonEvents_[i] = {nullptr, nullptr, -1};
    }
    return 0;
  }

  bool shortPress = false;
  bool longPress = false;
  int scanned = 0;
  for (; scanned < got && buf[scanned] != 0; ++scanned) {
    if (buf[scanned] == '0') shortPress = true;
    if (buf[scanned] == '1') longPress = true;
  }

  IntParam* count = paramStore.findInt("button_cnt");
  if (count) count->setStatusValue(count->value() + scanned);

  if (longPress)
    factoryReset();
  else if (shortPress && productParams().usbtable_product_id == kWpsButtonProduct)
    startWpsFromButton();
  return 0;
}

void ButtonTask::factoryReset() {
  device_->beep(0);
  for (int p = 0; p < 32; ++p) device_->setPortLed(p, 2, 6);
  deleteParamFiles();
  RestartHooks hooks = currentHooks();
  if (device_->boardId() != kBoard278 && hooks.setExitCode) hooks.setExitCode(2);
  if (hooks.startShutDown)
    hooks.startShutDown(1);
  else
    std::fprintf(stderr, "factory reset: no shutdown to start\n");
}
