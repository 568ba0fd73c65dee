// The simulated board: answers the board driver's requests in memory.
//
// It keeps every output (port power and other outputs, port and status
// LEDs, LED patterns, the board-278 LED frame, the legacy status LED, the
// display) with a timestamped log, and takes every input (power-supply or
// event inputs, card reader, button presses, tick counter). Tests drive it
// in-process through the methods below; a test outside the process drives
// it through a control socket (a Unix stream socket, normally
// mapPath("/var/simboard.ctl")) with one text command per line. Each
// command is answered by zero or more data lines and then "ok", or by
// "error <reason>":
//
//   button N press MS   press button N for MS ms: reports '1' (long) when
//                       MS reaches the long-press time the program set
//                       (3500 ms until then), else '0' (short)
//   button N short      the same as a 100 ms press
//   button N long       the same as a press of the long-press time
//   button N text STR   button N's device reports the bytes of STR as they are
//   button N unplug     button N's open devices report end of file
//   buttons MASK        the buttons present (bit i = button i); 0 = no
//                       button devices at all
//   psu A B             input bit 0 := A, bit 1 := B (1 = supply present;
//                       on relay models the two event inputs)
//   inputs WORD         the whole input word
//   card N              the card-reader request answers N
//   card none           the card-reader request fails (no card reader)
//   ticks               answers the tick counter
//   ticks +N / ticks -N moves the tick counter by N (1/100 s)
//   ticks N             sets the tick counter
//   ticks hold / run    stops / restarts the counter's own advance
//   clock               the stand-in wall clock's record: "sets N",
//                       "seconds S", "micros U", "step CS" (the last step
//                       against the host's clock, 1/100 s)
//   clock follow        the tick counter moves with every step of the wall
//                       clock from now on
//   clock still         the tick counter ignores the wall clock (default)
//   legacy 0|1          1: the legacy status-LED query answers, so the
//                       board has no LED pattern interface
//   ledmask MASK        the answer of the LED mask query
//   fail REQ / pass REQ the request number REQ fails from now on / answers again
//   state               the current outputs and inputs, one "name value" each
//   dump                the output log, one line per entry: "<ms> <text>"
//                       (ms since the board was created)
//   clear               empties the output log
//
// Numbers are decimal or 0x-hexadecimal. A file holding such commands
// (normally mapPath("/dev/gpio.sim")) configures the board at creation.
//
// The defaults are a healthy device: both power-supply inputs good, the
// legacy LED query failing (the board has the LED pattern interface), every
// LED driven, one button, no card reader, a running tick counter.
#ifndef PLATFORM_BOARD_SIMBOARD_H
#define PLATFORM_BOARD_SIMBOARD_H

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/board/boarddriver.h"

class SimBoard : public BoardDriver {
 public:
  struct LogEntry {
    int64_t ms;  // since the board was created
    std::string text;
  };

  SimBoard();
  ~SimBoard() override;
  SimBoard(const SimBoard&) = delete;
  SimBoard& operator=(const SimBoard&) = delete;

  // BoardDriver
  bool open() override;
  void close() override;
  bool isOpen() const override;
  int control(uint32_t request, void* arg) override;
  int controlValue(uint32_t request, uint32_t value) override;
  bool openButtonControl() override;
  int buttonControl(uint32_t request, void* arg) override;
  void closeButtonControl() override;
  int openButton(int index) override;
  int readButton(int fd, char* buffer, int size) override;
  void closeButton(int fd) override;

  // Inputs.
  void setInputs(uint32_t word);
  void setCardReader(int state);  // negative: the request fails
  void setLegacyLedQueryAnswers(bool answers);
  void setLedMask(uint32_t mask);
  void setButtonMask(uint32_t mask);
  // Delivers one press report to every open device of the button; false
  // when nobody has the button's device open.
  bool pressButton(int index, int durationMs);
  bool sendButtonBytes(int index, const std::string& bytes);
  // The button's devices report end of file from now on (a vanished device).
  void unplugButton(int index);
  // How many devices of the button are open.
  int openButtonDevices(int index) const;
  void setTicks(int64_t cs);
  void advanceTicks(int64_t cs);
  void holdTicks(bool hold);
  int64_t ticks() const;
  void failRequest(uint32_t request, bool fail);
  // false: the device node is missing (open fails).
  void setPresent(bool present);

  // Outputs.
  uint32_t outputs() const;
  bool outputOn(int index) const;
  uint32_t litLeds() const;
  uint32_t boardLeds(int group) const;
  // The most recent LED patterns and legacy LED words, oldest first (at
  // most kHistoryLimit of each).
  static constexpr size_t kHistoryLimit = 10000;
  std::vector<LedPattern> patterns() const;
  std::vector<uint32_t> legacyLedWords() const;
  // The display as shown, points included ("E1.", "RS"); "" before any write.
  std::string displayText() const;
  DisplayFrame lastDisplayFrame() const;
  int displayWrites() const;
  uint32_t longPressMs() const;
  std::vector<LogEntry> log() const;
  void clearLog();

  // One text command as the control socket takes it; the answer lines,
  // each ending in '\n', the last "ok" or "error <reason>".
  std::string command(const std::string& line);
  // Runs every line of the file as a command; false when it cannot be read.
  bool runCommandFile(const std::string& path);

  // Serves commands on a Unix stream socket at path (removed again by
  // stopControlSocket and the destructor).
  bool startControlSocket(const std::string& path);
  void stopControlSocket();

 private:
  struct ButtonListener {
    int index;
    int writeFd;
  };

  int64_t nowMsLocked() const;
  int64_t ticksLocked() const;
  void logLocked(const std::string& text);
  void applyPatternLocked(const LedPattern& p);
  std::string stateLocked() const;
  bool deliverLocked(int index, const std::string& bytes);
  void serve();
  void serveConnection(int fd);

  mutable std::mutex mutex_;
  int64_t startMs_;
  bool present_ = true;
  bool open_ = false;
  bool buttonControlOpen_ = false;

  uint32_t inputs_ = 0x3;
  int cardReader_ = -1;
  bool legacyAnswers_ = false;
  uint32_t ledMask_ = 0xffffffff;
  uint32_t buttonMask_ = 0x1;
  uint32_t longPressMs_ = 3500;
  int64_t tickBase_ = 100000;  // the counter's value at startMs_ (running)
  bool ticksHeld_ = false;
  int64_t heldTicks_ = 0;
  std::set<uint32_t> failing_;

  uint32_t outputs_ = 0;
  uint32_t lit_ = 0;
  uint32_t boardLeds_[3] = {0, 0, 0};
  // The most recent kHistoryLimit of each, like the log: a long run of
  // USB traffic must not look like a leak.
  std::deque<LedPattern> patterns_;
  std::deque<uint32_t> legacyWords_;
  DisplayFrame display_{};
  int displayWrites_ = 0;
  std::deque<LogEntry> log_;
  std::map<int, ButtonListener> listeners_;  // by read descriptor

  std::string controlPath_;
  int listenFd_ = -1;
  int wakePipe_[2] = {-1, -1};
  std::thread server_;
};

#endif
