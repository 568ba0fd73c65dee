// The supervision loop of the main thread: every 100 ms it looks at the
// task table and the shutdown requests; once a second it samples the load,
// watches the Ethernet link, the status display, the card reader and the
// event inputs; it starts "ShutDown" when a shutdown was requested.
#ifndef APP_SUPERVISION_H
#define APP_SUPERVISION_H

#include <cstdint>

// The loop ends this long (more than 499 ticks) after the last SIGINT or
// SIGTERM even when tasks remain.
constexpr int64_t SHUTDOWN_GRACE_TICKS = 499;

// What the start-up decided and the loop needs.
struct SupervisionSetup {
  uint32_t productId;
  bool wlanModel;        // compat_id has a WLAN bit
  bool useLanInterface;  // the interface in use is the LAN interface
  bool watchLanLink;     // a change of the Ethernet link restarts the program
};

class Supervisor {
 public:
  explicit Supervisor(const SupervisionSetup& setup);

  // Passes 100 ms apart until one says to stop.
  void run();
  // One pass without the sleep; false when the loop must end.
  bool pass();

  bool shutDownStarted() const { return shutDownStarted_; }

 private:
  bool graceOver(int64_t now);
  void pollCardReader();
  void oncePerSecond();
  void watchInterfaceChoice();
  void pollEthernetLink();
  void pollEventInputs();

  SupervisionSetup setup_;
  int64_t lastSecondTick_;
  int cpuLoadCountdown_ = 0;
  int displayPollCount_ = 0;
  int previousLinkMask_;
  uint32_t previousEventInputs_ = 0;
  bool cardReaderPresent_ = false;
  int savedCardReaderLed_ = 0;
  bool shutDownStarted_ = false;
  uint32_t seenSignalRequests_ = 0;
};

// Number of used slots of the task table (read under its lock).
int countRegisteredTasks();

#endif
