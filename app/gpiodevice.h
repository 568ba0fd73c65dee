// The board I/O device: the program's one access path to the board driver
// (USB port power, port and status LEDs, alarm relay, beeper, power-supply
// and event inputs, card reader, the tick counter behind the program
// clock, and the button devices).
//
// Every driver request runs under the device mutex, which the status
// display and the web start page also take through lock()/unlock(). The
// mutex is recursive; do not call the status display while holding it.
#ifndef APP_GPIODEVICE_H
#define APP_GPIODEVICE_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

class BoardDriver;
class StatusDisplay;
class Task;

// Port LED bits of one port: colour 1 (device present), colour 2 (in use).
struct PortLedBits {
  uint32_t colour1;
  uint32_t colour2;
};

// Outputs of the output masks.
constexpr int RELAY_OUTPUT = 29;  // alarm relay, active low
constexpr int BEEPER_OUTPUT_278 = 31;
constexpr int BEEPER_OUTPUT = 0;

class GpioDevice {
 public:
  // The driver is chosen when the device opens (see platform/board/boardselect.h).
  GpioDevice();
  // A device over the given driver.
  explicit GpioDevice(std::unique_ptr<BoardDriver> driver);
  ~GpioDevice();
  GpioDevice(const GpioDevice&) = delete;
  GpioDevice& operator=(const GpioDevice&) = delete;

  // Replaces the driver of a closed device (null: choose again at open).
  void useDriver(std::unique_ptr<BoardDriver> driver);

  // Opens the board device; true when open. Without a board there is
  // nothing to start up, and the start-up counts as done.
  bool open();
  // false when not open; else shows the reset pattern on the driven LEDs
  // (with the pattern interface) and closes the device.
  bool close();
  bool isOpen() const;

  void lock();
  void unlock();

  // One driver request under the lock: -1 when not open, else its result.
  int control(uint32_t request, void* arg);
  // The same for a request that takes the value itself (legacy status LED).
  int controlValue(uint32_t request, uint32_t value);

  // Switches one output (needs the pattern interface); true on success.
  bool setOutput(int index, bool on);
  // The alarm relay (only with FEATURE_RELAY).
  bool setRelay(bool on);
  // Kind 1: one 400 ms beep; 2: two 100 ms beeps; else one 100 ms beep.
  bool beep(int kind);

  PortLedBits portLedBits(int port) const;
  // State 0 off, 1 colour 1, 2 colour 2, 3 both; rate in Hz, 0 steady.
  bool setPortLed(int port, int state, int blinkRate);
  // 0..3 as for setPortLed.
  int getPortLed(int port);
  // Board 278: the port's LEDs through the board LED frame.
  bool setBoardPortLed(int port, int state);
  // Board 278: the board LEDs (-1 all on); other boards do nothing.
  void setBoardLeds(int colour);

  bool showStatusLedOn();
  bool showAddressOkPattern();
  bool showNoAddressPattern();
  // 0 off, 1 slow blink, 2 steady, 3 fast blink.
  bool setWlanLed(int mode);

  // The program clock (uptimeCs).
  int64_t clockTicks();
  // The board's tick counter: false when not open or the read fails.
  bool readTicks(int64_t* cs);

  // The board start-up, run once by the "GPio" task with itself as task
  // (null: no LED walk, plain sleeps).
  bool startUp(Task* task);

  // The button devices, through the driver (-1 / nothing without one).
  int openButton(int index);
  int readButton(int fd, char* buffer, int size);
  void closeButton(int fd);

  bool hasLedDriver() const { return hasLedDriver_.load(); }
  // No LED pattern interface: the "Blinker" task drives the status LED.
  bool blinkerNeeded() const { return !hasLedDriver(); }
  uint32_t ledMask() const { return ledMask_.load(); }
  uint32_t buttonMask() const { return buttonMask_.load(); }
  // Set at the end of a completed start-up; the USB listener waits for it.
  bool startUpDone() const { return startUpDone_.load(); }
  StatusDisplay* statusDisplay() const { return statusDisplay_.get(); }
  // The board id (`gpio_hw_project` of the product identity).
  int boardId() const;

  // The "KickOff" value of the start-up (-1 when absent): a first start
  // beeps on some models.
  void setKickOffValue(int value) { kickOffValue_.store(value); }

 private:
  bool showPattern(uint32_t mask, uint32_t bits, uint32_t length, uint32_t repeat, uint32_t periodMs);
  void pause(Task* task, int ticks);
  void ledWalk(Task* task);
  void setUpButtons();
  void powerUpPorts(Task* task);
  static void* beeperThread(void* self);

  mutable std::recursive_mutex mutex_;
  std::unique_ptr<BoardDriver> driver_;
  std::unique_ptr<StatusDisplay> statusDisplay_;
  bool open_ = false;  // guarded by mutex_
  std::atomic<bool> installedClock_{false};
  std::atomic<uint32_t> ledMask_{0};
  std::atomic<bool> hasLedDriver_{false};
  std::atomic<uint32_t> buttonMask_{0};
  std::atomic<bool> startUpDone_{false};
  std::atomic<int> beepDurationMs_{0};
  std::atomic<int> beepRepeat_{0};
  std::atomic<int> beepersRunning_{0};
  std::atomic<int> kickOffValue_{-1};
};

// The program's board device.
extern GpioDevice gpioDevice;

#endif
