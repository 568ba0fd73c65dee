// The two-character status display of board 278: a default text, a
// rotating list of up to eight codes ("E1".."E5" errors, "RS" restart,
// "DL" update) and points for failed power supplies. The active codes are
// published in the parameter `disp_erVals`. On other boards every show
// succeeds and changes nothing; polls still read the inputs and beep.
#ifndef APP_STATUSDISPLAY_H
#define APP_STATUSDISPLAY_H

#include <cstdint>
#include <mutex>
#include <string>

class GpioDevice;

// Show flags.
constexpr int DISP_POINT_SECOND = 0x1;  // point after the second character
constexpr int DISP_POINT_FIRST = 0x2;   // point after the first character
constexpr int DISP_ADD = 0x4;           // add the code to the list
constexpr int DISP_REMOVE = 0x8;        // remove it (nothing is sent)
constexpr int DISP_FREEZE = 0x10;       // later shows without this flag are ignored
constexpr int DISP_BLINK = 0x20;        // blink, 200 ms steps
constexpr int DISP_BLINK_FAST = 0x40;   // blink, 50 ms steps

// powerState bits.
constexpr int DISP_PSU1_FAILED = 0x1;
constexpr int DISP_PSU2_FAILED = 0x2;
constexpr int DISP_FROZEN = 0x10;

constexpr int DISPLAY_SLOTS = 8;

struct DisplaySlot {
  char first;   // 0 = empty slot
  char second;
  int flags;    // show flags without DISP_ADD and DISP_REMOVE
};

class StatusDisplay {
 public:
  explicit StatusDisplay(GpioDevice* owner);

  // Shows a code with the flags; see the flag constants. Callers must not
  // hold the device lock.
  bool show(char first, char second, int flags);
  // Every 2 s from the supervision loop: power inputs, beeps, rotation.
  int poll();

  int powerState() const;
  int currentIndex() const;
  DisplaySlot slot(int index) const;

 private:
  bool sendFrame(char first, char second, int flags);
  void publishLocked();

  GpioDevice* owner_;
  // Guards the slot list and the state; taken before the device lock.
  mutable std::recursive_mutex mutex_;
  DisplaySlot slots_[DISPLAY_SLOTS] = {};
  int powerState_ = 0;
  int currentIndex_ = -1;
};

// The notification of a change of the power-supply inputs (event 0x200000
// with the input word), installed by the notification task; null: none.
void setPowerInputEventHook(void (*hook)(uint32_t inputWord));

#endif
