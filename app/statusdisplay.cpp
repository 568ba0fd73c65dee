#include "app/statusdisplay.h"

#include <atomic>

#include "app/gpiodevice.h"
#include "params/store/commiteffects.h"
#include "params/store/paramstore.h"
#include "params/types/intparam.h"
#include "params/types/paramflags.h"
#include "params/types/stringparam.h"
#include "platform/board/boarddriver.h"

namespace {

constexpr int kBoard278 = 278;
constexpr size_t kPublishedMax = 63;

std::atomic<void (*)(uint32_t)> powerInputEventHook{nullptr};

bool paramIsOn(const char* key) {
  Param* p = paramStore.find(key);
  return p && p->isOn();
}

uint32_t swFeatures() {
  IntParam* p = paramStore.findInt("sw_features");
  return p ? static_cast<uint32_t>(p->value()) : 0u;
}

}  // namespace

void setPowerInputEventHook(void (*hook)(uint32_t)) { powerInputEventHook.store(hook); }

StatusDisplay::StatusDisplay(GpioDevice* owner) : owner_(owner) {}

int StatusDisplay::powerState() const {
  std::lock_guard<std::recursive_mutex> g(mutex_);
  return powerState_;
}

int StatusDisplay::currentIndex() const {
  std::lock_guard<std::recursive_mutex> g(mutex_);
  return currentIndex_;
}

DisplaySlot StatusDisplay::slot(int index) const {
  std::lock_guard<std::recursive_mutex> g(mutex_);
  if (index < 0 || index >= DISPLAY_SLOTS) return {0, 0, 0};
  return slots_[index];
}

bool StatusDisplay::sendFrame(char first, char second, int flags) {
  uint32_t pointFirst = ((powerState_ & DISP_PSU2_FAILED) || (flags & DISP_POINT_FIRST)) ? '.' : 0;
  uint32_t pointSecond = ((powerState_ & DISP_PSU1_FAILED) || (flags & DISP_POINT_SECOND)) ? '.' : 0;
  DisplayFrame frame{};
  frame.word[0] = (static_cast<uint32_t>(static_cast<unsigned char>(first)) << 24) | (pointFirst << 16) |
                  (static_cast<uint32_t>(static_cast<unsigned char>(second)) << 8) | pointSecond;
  static const uint32_t kSlow[4] = {11, 15, 1, 200};
  static const uint32_t kFast[4] = {28, 31, 1, 50};
  const uint32_t* blink = (flags & DISP_BLINK_FAST) ? kFast : (flags & DISP_BLINK) ? kSlow : nullptr;
  for (int i = 0; blink && i < 4; ++i) frame.word[i + 1] = blink[i];
  return owner_->control(boardreq::kDisplay, &frame) == 0;
}

void StatusDisplay::publishLocked() {
  std::string text;
  for (const DisplaySlot& s : slots_) {
    if (!s.first) continue;
    if (!text.empty()) text += ", ";
    text += s.first;
    text += s.second;
  }
  if (text.size() > kPublishedMax) text.resize(kPublishedMax);
  StringParam* p = paramStore.findString("disp_erVals");
  if (p) p->setStatusValue(text.c_str());
}

bool StatusDisplay::show(char first, char second, int flags) {
  if (owner_->boardId() != kBoard278) return true;
  std::lock_guard<std::recursive_mutex> g(mutex_);
  if ((powerState_ & DISP_FROZEN) && !(flags & DISP_FREEZE)) return true;

  bool result = true;
  if (!(flags & DISP_REMOVE)) result = sendFrame(first, second, flags);

  if (flags & DISP_FREEZE) {
    currentIndex_ = -1;
    powerState_ |= DISP_FROZEN;
  }

  if (flags & (DISP_ADD | DISP_REMOVE)) {
    int empty = -1;
    for (int i = 0; i < DISPLAY_SLOTS; ++i) {
      DisplaySlot& s = slots_[i];
      if (!s.first) {
        if (empty < 0) empty = i;
        continue;
      }
      if (s.first == first && s.second == second) {
        if (flags & DISP_REMOVE)
          s = {0, 0, 0};
        else
          s.flags = flags & ~(DISP_ADD | DISP_REMOVE);
        return true;
      }
    }
    if ((flags & DISP_REMOVE) || empty < 0) return false;
    slots_[empty] = {first, second, flags & ~(DISP_ADD | DISP_REMOVE)};
  }

  publishLocked();
  return result;
}

int StatusDisplay::poll() {
  int failed;
  bool changed;
  uint32_t input = 0;
  {
    std::lock_guard<std::recursive_mutex> g(mutex_);
    if (powerState_ & DISP_FROZEN) return 1;
    if (owner_->control(boardreq::kReadInputs, &input) != 0) input = 0;
    failed = ((input & 1) ? 0 : DISP_PSU1_FAILED) | ((input & 2) ? 0 : DISP_PSU2_FAILED);
    changed = failed != powerState_;
    powerState_ = failed;
  }

  if (changed) {
    if (paramIsOn("disp_pwr")) {
      if (failed)
        show('E', '1', failed | DISP_ADD | DISP_BLINK);
      else
        show('E', '1', DISP_REMOVE);
    }
    void (*hook)(uint32_t) = powerInputEventHook.load();
    if (hook) hook(input);
  }

  if (swFeatures() & FEATURE_BEEPER) {
    if (failed && paramIsOn("beepPwr"))
      owner_->beep(0);
    else if (commitEffects().storageMediumState() != 3 && paramIsOn("beepSDc"))
      owner_->beep(0);
  }

  // Each code shows for one poll in turn, then the default text.
  std::lock_guard<std::recursive_mutex> g(mutex_);
  for (int i = currentIndex_ + 1; i < DISPLAY_SLOTS; ++i) {
    if (!slots_[i].first) continue;
    currentIndex_ = i;
    show(slots_[i].first, slots_[i].second, slots_[i].flags);
    return 1;
  }
  StringParam* def = paramStore.findString("disp_def");
  if (def) {
    std::string text = def->getText();
    if (text.size() >= 2) show(text[0], text[1], 0);
  }
  currentIndex_ = -1;
  return 1;
}
