#include "params/store/commiteffects.h"

#include <atomic>
#include <cstdio>
#include <cstring>

namespace {

std::atomic<CommitEffects*> installed{nullptr};

std::string hex(int value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%x", static_cast<unsigned>(value));
  return text;
}

}  // namespace

RecordingCommitEffects& defaultCommitEffects() {
  static RecordingCommitEffects recorder;
  return recorder;
}

CommitEffects& commitEffects() {
  CommitEffects* effects = installed.load(std::memory_order_acquire);
  return effects ? *effects : defaultCommitEffects();
}

void setCommitEffects(CommitEffects* effects) { installed.store(effects, std::memory_order_release); }

void RecordingCommitEffects::record(std::string call) {
  std::lock_guard<std::mutex> lock(mutex_);
  calls_.push_back(std::move(call));
}

void RecordingCommitEffects::setPortPower(int output, bool on) {
  record("power " + std::to_string(output) + (on ? " on" : " off"));
}

void RecordingCommitEffects::setRelay(bool on) { record(on ? "relay on" : "relay off"); }

bool RecordingCommitEffects::hasDisplay() {
  std::lock_guard<std::mutex> lock(mutex_);
  return display_;
}

void RecordingCommitEffects::showDisplay(const char* code, int flags) {
  record("display " + std::string(code ? code : "", code ? strnlen(code, 2) : 0) + " " + hex(flags));
}

int RecordingCommitEffects::displayPowerState() {
  std::lock_guard<std::mutex> lock(mutex_);
  return powerState_;
}

int RecordingCommitEffects::linkState() {
  std::lock_guard<std::mutex> lock(mutex_);
  return linkState_;
}

int RecordingCommitEffects::storageMediumState() {
  std::lock_guard<std::mutex> lock(mutex_);
  return mediumState_;
}

void RecordingCommitEffects::writeSlot1InfoLog(const char* directory) {
  record(std::string("infolog ") + (directory ? directory : ""));
}

std::vector<std::string> RecordingCommitEffects::calls() {
  std::lock_guard<std::mutex> lock(mutex_);
  return calls_;
}

std::vector<std::string> RecordingCommitEffects::takeCalls() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> taken;
  taken.swap(calls_);
  return taken;
}

void RecordingCommitEffects::setHasDisplay(bool present) {
  std::lock_guard<std::mutex> lock(mutex_);
  display_ = present;
}

void RecordingCommitEffects::setDisplayPowerState(int state) {
  std::lock_guard<std::mutex> lock(mutex_);
  powerState_ = state;
}

void RecordingCommitEffects::setLinkState(int state) {
  std::lock_guard<std::mutex> lock(mutex_);
  linkState_ = state;
}

void RecordingCommitEffects::setStorageMediumState(int state) {
  std::lock_guard<std::mutex> lock(mutex_);
  mediumState_ = state;
}
