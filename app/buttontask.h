// The button task "GPio": runs the board start-up, then waits on the
// button devices. A long press resets the device to factory settings and
// restarts it; a short press starts WPS on the model that has it.
#ifndef APP_BUTTONTASK_H
#define APP_BUTTONTASK_H

#include <cstdint>

#include "runtime/task/task.h"

class GpioDevice;

constexpr int BUTTON_COUNT = 4;
constexpr int BUTTON_TASK_STACK = 20480;

class ButtonTask : public Task {
 public:
  explicit ButtonTask(GpioDevice* device);
  // Takes every open button device out of the event set and closes it.
  ~ButtonTask() override;

  void run() override;
  // Reads the press reports of one button device; 0.
  int onButtonEvent(int fd);

  int buttonFd(int index) const { return index >= 0 && index < BUTTON_COUNT ? buttonFds_[index] : -1; }

 private:
  static int onButtonReadable(TaskEventRecord* record, uint32_t events);
  void factoryReset();

  int buttonFds_[BUTTON_COUNT];
  TaskEventRecord buttonEvents_[BUTTON_COUNT];
  GpioDevice* device_;
};

// How a factory reset restarts the program. Set by the start-up; the
// shutdown code supplies both.
struct RestartHooks {
  void (*setExitCode)(int code);          // the code main returns
  bool (*startShutDown)(int delaySeconds);  // creates and starts "ShutDown"
};
void setRestartHooks(const RestartHooks& hooks);

// Short press on the WPS model: starts "WpaWps" in push-button mode with
// the device's default PIN. Returns true when the task started.
bool startWpsFromButton();

#endif
