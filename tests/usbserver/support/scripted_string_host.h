// A simulated USB host whose string descriptor requests a test can answer
// (or slow down) itself.
#ifndef TESTS_USBSERVER_SUPPORT_SCRIPTED_STRING_HOST_H
#define TESTS_USBSERVER_SUPPORT_SCRIPTED_STRING_HOST_H

#include <functional>
#include <mutex>
#include <vector>

#include "platform/simusb/usbhost_sim.h"

class ScriptedStringHost : public SimUsbHost {
 public:
  // Returns the bytes of the answer or a negative errno; null: the device answers.
  using Answer = std::function<int(uint8_t index, uint16_t language, uint8_t* data, uint16_t length)>;
  Answer answer;

  int control(int handle, uint8_t requestType, uint8_t request, uint16_t value, uint16_t index, void* data,
              uint16_t length, unsigned timeoutMs) override {
    if (requestType == 0x80 && request == 6 && (value >> 8) == 3) {
      {
        std::lock_guard<std::mutex> hold(mutex_);
        asked_.push_back(static_cast<uint8_t>(value & 0xFF));
      }
      if (answer) return answer(static_cast<uint8_t>(value & 0xFF), index, static_cast<uint8_t*>(data), length);
    }
    return SimUsbHost::control(handle, requestType, request, value, index, data, length, timeoutMs);
  }

  // String indices requested so far, in order.
  std::vector<uint8_t> asked() {
    std::lock_guard<std::mutex> hold(mutex_);
    return asked_;
  }
  void forget() {
    std::lock_guard<std::mutex> hold(mutex_);
    asked_.clear();
  }

 private:
  std::mutex mutex_;
  std::vector<uint8_t> asked_;
};

#endif
