#include "app/gpiodevice.h"

#include <pthread.h>

#include <chrono>
#include <thread>

#include "app/statusdisplay.h"
#include "notify/alarmrelay.h"
#include "params/identity/productparams.h"
#include "params/store/paramstore.h"
#include "params/types/intparam.h"
#include "params/types/p3list.h"
#include "params/types/paramflags.h"
#include "params/types/stringparam.h"
#include "platform/board/boarddriver.h"
#include "platform/board/boardselect.h"
#include "runtime/task/task.h"
#include "runtime/task/uptime.h"

namespace {

constexpr int kBoard278 = 278;
constexpr uint32_t kLongPressTimes[2] = {3500, 3550};

uint32_t bit(int n) { return n >= 0 && n < 32 ? 1u << n : 0u; }

bool isOneLedBoard(int board) { return board == 209 || board == 212 || board == 271 || board == 283; }

uint32_t swFeatures() {
  IntParam* p = paramStore.findInt("sw_features");
  return p ? static_cast<uint32_t>(p->value()) : 0u;
}

bool paramIsOn(const char* key) {
  Param* p = paramStore.find(key);
  return p && p->isOn();
}

bool relayIsFixed() {
  P3List* ctrl = paramStore.findList("relay_ctrl");
  return ctrl && ctrl->equals("fix");
}

void sleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

bool readProgramBoardTicks(int64_t* cs) { return gpioDevice.readTicks(cs); }

}  // namespace

GpioDevice gpioDevice;

GpioDevice::GpioDevice() : statusDisplay_(new StatusDisplay(this)) {}

GpioDevice::GpioDevice(std::unique_ptr<BoardDriver> driver)
    : driver_(std::move(driver)), statusDisplay_(new StatusDisplay(this)) {}

GpioDevice::~GpioDevice() {
  // The detached beeper threads use this object: let them finish.
  for (int i = 0; i < 400 && beepersRunning_.load() > 0; ++i) sleepMs(10);
  if (installedClock_) setBoardTickSource(nullptr);
  std::lock_guard<std::recursive_mutex> g(mutex_);
  if (driver_ && open_) driver_->close();
}

void GpioDevice::useDriver(std::unique_ptr<BoardDriver> driver) {
  std::lock_guard<std::recursive_mutex> g(mutex_);
  if (open_) return;
  driver_ = std::move(driver);
}

int GpioDevice::boardId() const { return static_cast<int>(productParams().gpio_hw_project); }

bool GpioDevice::open() {
  {
    std::lock_guard<std::recursive_mutex> g(mutex_);
    if (!open_) {
      if (!driver_) driver_ = createBoardDriver();
      open_ = driver_ && driver_->open();
    }
    if (!open_) {
      // No board device: nothing will run the board start-up, and those
      // who wait for it (the USB listener) must not wait for ever.
      startUpDone_.store(true);
      return false;
    }
  }
  // The program clock follows the board's tick counter while it is open.
  if (this == &gpioDevice) {
    setBoardTickSource(readProgramBoardTicks);
    installedClock_ = true;
  }
  return true;
}

bool GpioDevice::close() {
  {
    std::lock_guard<std::recursive_mutex> g(mutex_);
    if (!open_) return false;
    if (hasLedDriver()) showPattern(ledMask(), 1, 3, 0, 300);
    driver_->close();
    open_ = false;
  }
  if (installedClock_) {
    setBoardTickSource(nullptr);
    installedClock_ = false;
  }
  return true;
}

bool GpioDevice::isOpen() const {
  std::lock_guard<std::recursive_mutex> g(mutex_);
  return open_;
}

void GpioDevice::lock() { mutex_.lock(); }
void GpioDevice::unlock() { mutex_.unlock(); }

int GpioDevice::control(uint32_t request, void* arg) {
  std::lock_guard<std::recursive_mutex> g(mutex_);
  if (!open_) return -1;
  return driver_->control(request, arg);
}

int GpioDevice::controlValue(uint32_t request, uint32_t value) {
  std::lock_guard<std::recursive_mutex> g(mutex_);
  if (!open_) return -1;
  return driver_->controlValue(request, value);
}

bool GpioDevice::setOutput(int index, bool on) {
  if (!hasLedDriver() || index < 0) return false;
  uint32_t mask = bit(index);
  return control(on ? boardreq::kOutputsOn : boardreq::kOutputsOff, &mask) == 0;
}

bool GpioDevice::setRelay(bool on) {
  if (!(swFeatures() & FEATURE_RELAY)) return false;
  return setOutput(RELAY_OUTPUT, !on);
}

// ---- beeper -------------------------------------------------------------

bool GpioDevice::beep(int kind) {
  beepDurationMs_.store(kind == 1 ? 400 : 100);
  beepRepeat_.store(kind == 2 ? 2 : 1);
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) return false;
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  beepersRunning_.fetch_add(1);
  pthread_t thread;
  int rc = pthread_create(&thread, &attr, beeperThread, this);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    beepersRunning_.fetch_sub(1);
    return false;
  }
  return true;
}

void* GpioDevice::beeperThread(void* arg) {
  GpioDevice* self = static_cast<GpioDevice*>(arg);
  int output = self->boardId() == kBoard278 ? BEEPER_OUTPUT_278 : BEEPER_OUTPUT;
  // The fields are shared with beeps started meanwhile, which change this one.
  while (self->beepRepeat_.load() > 0) {
    self->setOutput(output, true);
    sleepMs(self->beepDurationMs_.load());
    self->setOutput(output, false);
    if (self->beepRepeat_.fetch_sub(1) - 1 > 0) sleepMs(250);
  }
  self->beepersRunning_.fetch_sub(1);
  return nullptr;
}

// ---- LEDs -----------------------------------------------------------------

PortLedBits GpioDevice::portLedBits(int port) const {
  if (port < 0) return {0, 0};
  uint32_t mask = ledMask();
  switch (boardId()) {
    case 209:
    case 212:
    case 271:
    case 283:
      return {port == 0 ? 0x2u : 0u, 0};
    case 248:
    case 254:
    case 262:
    case 267: {
      uint32_t c1 = (boardId() == 267 && port == 1) ? 0x2u : bit(2 * port);
      return {c1 & mask, bit(2 * port + 1) & mask};
    }
    case 253:
    case 263:
      return {bit(2 * (port + 1)) & mask, bit(2 * (port + 1) + 1) & mask};
    case kBoard278:
      if (port < 5) return {bit(port + 8), bit(port + 16)};
      return {bit(port - 5), bit(port + 11)};
    default:
      return {bit(8 + port), bit(16 + port)};
  }
}

bool GpioDevice::showPattern(uint32_t mask, uint32_t bits, uint32_t length, uint32_t repeat, uint32_t periodMs) {
  if (!hasLedDriver()) return false;
  LedPattern p{mask, bits, length, repeat, periodMs};
  std::lock_guard<std::recursive_mutex> g(mutex_);
  if (!open_) return false;
  driver_->control(boardreq::kShowPattern, &p);
  return true;
}

bool GpioDevice::setPortLed(int port, int state, int blinkRate) {
  if (boardId() == kBoard278) return setBoardPortLed(port, state);
  if (!hasLedDriver() || port < 0) return false;
  PortLedBits b = portLedBits(port);
  uint32_t driven = ledMask();
  if (((b.colour1 | b.colour2) & driven) == 0) return false;

  LedPattern p{};
  if (blinkRate > 0) {
    switch (state) {
      case 1: p.ledMask = b.colour1; break;
      case 2: p.ledMask = b.colour2; break;
      case 3: p.ledMask = b.colour1 | b.colour2; break;
      default: p.ledMask = 0; break;
    }
    p.bits = 1;
    p.lengthMask = 3;
    p.repeat = 1;
    p.periodMs = static_cast<uint32_t>(1000 / blinkRate);
  } else {
    static const int kSteady[4][2] = {{0, 0}, {1, 0}, {0, 1}, {1, 1}};
    if (state < 0 || state > 3) return false;
    p.ledMask = b.colour1 | b.colour2;
    p.bits = (kSteady[state][0] ? b.colour1 : 0) | (kSteady[state][1] ? b.colour2 : 0);
  }
  std::lock_guard<std::recursive_mutex> g(mutex_);
  if (!open_ || (p.ledMask & driven) == 0) return false;
  driver_->control(boardreq::kShowPattern, &p);
  return true;
}

int GpioDevice::getPortLed(int port) {
  PortLedBits b = portLedBits(port);
  uint32_t both = b.colour1 | b.colour2;
  uint32_t word = both;
  // A failing request leaves the word as it was sent.
  control(boardreq::kReadPortLeds, &word);
  if (word == both) return 3;
  if (word == b.colour1) return 1;
  if (word == b.colour2) return 2;
  return 0;
}

bool GpioDevice::setBoardPortLed(int port, int state) {
  if (port < 0 || state < 0 || state > 3) return false;
  PortLedBits b = portLedBits(port);
  int group = port < 5 ? 0 : 1;
  BoardLedFrame f{};
  f.select[group] = b.colour1 | b.colour2;
  f.on[group] = state == 0 ? 0 : state == 1 ? b.colour1 : b.colour2;
  return control(boardreq::kBoardLeds278, &f) == 0;
}

void GpioDevice::setBoardLeds(int colour) {
  if (boardId() != kBoard278) return;
  static const uint32_t kColours[4] = {4608, 3072, 192, 8448};
  BoardLedFrame f{};
  f.select[2] = 0x7fff7fff;
  if (colour == -1) {
    f.on[2] = 0x7fff7fff;
  } else {
    uint32_t c = kColours[colour & 3];
    f.on[2] = ~(c | (c << 16));
  }
  control(boardreq::kBoardLeds278, &f);
}

bool GpioDevice::showStatusLedOn() { return showPattern(1, 1, 3, 0, 100); }
bool GpioDevice::showAddressOkPattern() { return showPattern(2, 0x5, 1023, 1, 250); }
bool GpioDevice::showNoAddressPattern() { return showPattern(2, 0x15, 1023, 1, 250); }

bool GpioDevice::setWlanLed(int mode) {
  switch (mode) {
    case 0: return showPattern(8, 0, 0, 0, 0);
    case 1: return showPattern(8, 204, 255, 1, 0);
    case 2: return showPattern(8, 8, 0, 0, 0);
    case 3: return showPattern(8, 170, 255, 1, 0);
    default: return false;
  }
}

// ---- clock ---------------------------------------------------------------

int64_t GpioDevice::clockTicks() { return uptimeCs(); }

bool GpioDevice::readTicks(int64_t* cs) {
  uint64_t ticks = 0;
  if (control(boardreq::kTicks, &ticks) != 0) return false;
  *cs = static_cast<int64_t>(ticks);
  return true;
}

// ---- buttons -------------------------------------------------------------

int GpioDevice::openButton(int index) {
  std::lock_guard<std::recursive_mutex> g(mutex_);
  return driver_ ? driver_->openButton(index) : -1;
}

int GpioDevice::readButton(int fd, char* buffer, int size) {
  BoardDriver* drv;
  {
    std::lock_guard<std::recursive_mutex> g(mutex_);
    drv = driver_.get();
  }
  // Not under the lock: a read must not hold up the other requests.
  return drv ? drv->readButton(fd, buffer, size) : -1;
}

void GpioDevice::closeButton(int fd) {
  std::lock_guard<std::recursive_mutex> g(mutex_);
  if (driver_) driver_->closeButton(fd);
}

// ---- start-up ------------------------------------------------------------

void GpioDevice::pause(Task* task, int ticks) {
  if (task)
    task->wait(ticks, -1);
  else
    sleepMs(ticks * 10);
}

void GpioDevice::ledWalk(Task* task) {
  int n = static_cast<int>(productParams().usb_ports_phy);
  int h = n / 2;
  for (int p = 0; p < n; ++p) setPortLed(p, 0, 0);
  for (int k = 0; k < h; ++k) {
    setPortLed(h - 1 - k, 2, 0);
    setPortLed(h + k, 2, 0);
    setBoardLeds(k);
    task->wait(10, -1);
  }
  for (int k = 0; k < 10; ++k) {
    setBoardLeds(h + k);
    task->wait(10, -1);
  }
  for (int k = 0; k < h; ++k) {
    setPortLed(h - 1 - k, 1, 0);
    setPortLed(h + k, 1, 0);
    setBoardLeds(h + 10 + k);
    task->wait(10, -1);
  }
  setBoardLeds(-1);
  task->wait(150, -1);
  for (int p = 0; p < n; ++p) setPortLed(p, 0, 0);
  StringParam* def = paramStore.findString("disp_def");
  if (def) {
    std::string text = def->getText();
    if (text.size() >= 2) statusDisplay_->show(text[0], text[1], 0);
  }
}

void GpioDevice::setUpButtons() {
  std::lock_guard<std::recursive_mutex> g(mutex_);
  if (!driver_->openButtonControl()) return;
  DisplayFrame frame{{0xffffffff, 0, 0, 0, 0}};
  if (driver_->buttonControl(boardreq::kButtonMaskQuery, &frame) == 0) buttonMask_.store(frame.word[0]);
  DisplayFrame times{{buttonMask(), 0, kLongPressTimes[0], kLongPressTimes[1], 0}};
  driver_->buttonControl(boardreq::kButtonSetTimes, &times);
  driver_->closeButtonControl();
}

void GpioDevice::powerUpPorts(Task* task) {
  static const uint32_t kPoweredByDefault[] = {326, 346, 357, 365, 366, 367};
  int n = static_cast<int>(productParams().usb_ports_phy);
  uint32_t product = productParams().product_id;
  bool defaultOn = false;
  for (uint32_t id : kPoweredByDefault) defaultOn = defaultOn || id == product;

  // Ports come up in groups a few ports apart, so their inrush currents
  // do not add up.
  int step = n / 4 > 0 ? n / 4 : 1;
  for (int g = 0; g < step; ++g) {
    for (int p = g; p < n; p += step) {
      Param* poff = paramStore.find("zov_poff_", 9, p + 1);
      if (poff)
        setOutput(p, poff->isOff());
      else if (defaultOn)
        setOutput(p, true);
    }
    pause(task, 50);
  }
}

bool GpioDevice::startUp(Task* task) {
  if (!isOpen()) return false;
  int board = boardId();
  {
    std::lock_guard<std::recursive_mutex> g(mutex_);
    if (board == kBoard278) {
      hasLedDriver_.store(true);
    } else {
      uint32_t word = 0;
      hasLedDriver_.store(control(boardreq::kLegacyLedQuery, &word) != 0);
    }
  }

  if (!hasLedDriver()) {
    {
      std::lock_guard<std::recursive_mutex> g(mutex_);
      controlValue(boardreq::kLegacyLed, 0x228);
      controlValue(boardreq::kLegacyLed, 0x3000000);
    }
    startUpDone_.store(true);
    return true;
  }

  if (board != kBoard278) {
    DisplayFrame frame{{0xffffffff, 0, 0, 0, 0}};
    uint32_t word = 0;
    if (control(boardreq::kLedMaskQuery, &frame) != 0) return false;
    if (control(boardreq::kStartQuery, &word) != 0) return false;
    ledMask_.store(frame.word[0]);
  }

  uint32_t product = productParams().product_id;
  if (kickOffValue_.load() == 0 && (product == 353 || product == 336 || product == 349)) beep(0);

  if (task && !isOneLedBoard(board)) ledWalk(task);

  setUpButtons();
  powerUpPorts(task);

  if (swFeatures() & FEATURE_RELAY) {
    if (relayIsFixed())
      setRelay(paramIsOn("relay_on"));
    else
      applyRelayDecision([](void* self, bool on) { return static_cast<GpioDevice*>(self)->setRelay(on); }, this);
  }

  startUpDone_.store(true);
  return true;
}
