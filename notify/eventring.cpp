#include "notify/eventring.h"

#include <cstring>

void copyEventText(char* field, int width, const char* text) {
  if (width <= 0) return;
  if (!text || !text[0]) text = NOTIFY_MISSING_TEXT;
  size_t n = strnlen(text, static_cast<size_t>(width));
  if (n > static_cast<size_t>(width - 1)) {
    n = static_cast<size_t>(width - 1);
    // Step back over continuation bytes to the start of a cut character.
    while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
  }
  std::memcpy(field, text, n);
  field[n] = 0;
}

EventRing::EventRing() {
  for (int i = 0; i < NOTIFY_RING_SIZE; ++i) {
    std::memset(&entries_[i], 0, sizeof entries_[i]);
    entries_[i].value = -1;
    generations_[i] = 0;
  }
}

void EventRing::push(uint32_t code, int32_t value, const char* manufacturer, const char* product,
                     const char* serial, const char* host) {
  std::lock_guard<std::mutex> lock(mutex_);
  const int index = writeIndex_;
  NotifyEvent& e = entries_[index];
  e.code = code;
  e.value = value;
  if (!notifyEventKeepsTexts(code)) {
    copyEventText(e.manufacturer, sizeof e.manufacturer, manufacturer);
    copyEventText(e.product, sizeof e.product, product);
    copyEventText(e.serial, sizeof e.serial, serial);
    copyEventText(e.host, sizeof e.host, host);
  }
  if (code == NOTIFY_NETWORK_LINK) linkMask_ = value;
  generations_[index]++;
  pendingMail_ |= 1u << index;
  pendingTrap_ |= 1u << index;
  writeIndex_ = (index + 1) % NOTIFY_RING_SIZE;
}

int EventRing::trapCandidates(uint32_t disabled, NotifyEvent* copies, int* indexes, uint32_t* generations) {
  std::lock_guard<std::mutex> lock(mutex_);
  int count = 0;
  for (int n = 0; n < NOTIFY_RING_SIZE; ++n) {
    const int index = (writeIndex_ + n) % NOTIFY_RING_SIZE;
    if (!(pendingTrap_ & (1u << index)) || !(entries_[index].code & ~disabled)) continue;
    copies[count] = entries_[index];
    indexes[count] = index;
    generations[count] = generations_[index];
    ++count;
  }
  return count;
}

void EventRing::trapsDone(const int* indexes, const uint32_t* generations, int count) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (int i = 0; i < count; ++i)
    if (generations_[indexes[i]] == generations[i]) pendingTrap_ &= ~(1u << indexes[i]);
}

void EventRing::clearTrapMask() {
  std::lock_guard<std::mutex> lock(mutex_);
  pendingTrap_ = 0;
}

uint32_t EventRing::takeMailCodes() {
  std::lock_guard<std::mutex> lock(mutex_);
  uint32_t codes = 0;
  for (int i = 0; i < NOTIFY_RING_SIZE; ++i)
    if (pendingMail_ & (1u << i)) codes |= entries_[i].code;
  pendingMail_ = 0;
  return codes;
}

void EventRing::clearPendingMasks() {
  std::lock_guard<std::mutex> lock(mutex_);
  pendingMail_ = 0;
  pendingTrap_ = 0;
}

bool EventRing::linkLost() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return linkMask_ == 0;
}

int EventRing::writeIndex() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return writeIndex_;
}

uint32_t EventRing::pendingMailMask() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return pendingMail_;
}

uint32_t EventRing::pendingTrapMask() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return pendingTrap_;
}

NotifyEvent EventRing::entry(int index) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return entries_[index & (NOTIFY_RING_SIZE - 1)];
}
