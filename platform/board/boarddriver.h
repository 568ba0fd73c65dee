// The board driver: the requests of "/dev/gpio" and of the button devices
// "/dev/button", "/dev/button0" and "/dev/button<n>".
//
// The driver lives outside this program. Only the request numbers, the
// argument layouts and the results below are relied on; the real driver
// passes them to the kernel, the simulated board answers them itself.
#ifndef PLATFORM_BOARD_BOARDDRIVER_H
#define PLATFORM_BOARD_BOARDDRIVER_H

#include <cstdint>

namespace boardreq {

// Request number layout: direction (2 bits), argument size (14 bits),
// type (8 bits), number (8 bits), from the most significant bit down.
constexpr uint32_t kDirNone = 0;
constexpr uint32_t kDirWrite = 1;  // the program hands data to the driver
constexpr uint32_t kDirRead = 2;   // the driver hands data back

constexpr uint32_t encode(uint32_t dir, uint32_t type, uint32_t nr, uint32_t size) {
  return (dir << 30) | ((size & 0x3fff) << 16) | ((type & 0xff) << 8) | (nr & 0xff);
}
constexpr uint32_t direction(uint32_t request) { return request >> 30; }
constexpr uint32_t argSize(uint32_t request) { return (request >> 16) & 0x3fff; }
constexpr uint32_t type(uint32_t request) { return (request >> 8) & 0xff; }
constexpr uint32_t number(uint32_t request) { return request & 0xff; }

constexpr uint32_t kGpioType = 0x0a;
constexpr uint32_t kButtonType = 0x5c;

// "/dev/gpio"
constexpr uint32_t kOutputsOn = encode(kDirWrite, kGpioType, 0xc2, 4);       // 4-byte output mask
constexpr uint32_t kOutputsOff = encode(kDirWrite, kGpioType, 0xc3, 4);      // 4-byte output mask
constexpr uint32_t kShowPattern = encode(kDirWrite, kGpioType, 0xca, 20);    // LedPattern
constexpr uint32_t kReadPortLeds = encode(kDirRead, kGpioType, 0xc5, 4);     // in: bits asked, out: lit
constexpr uint32_t kLedMaskQuery = encode(kDirRead, kGpioType, 0xc9, 20);    // word 0: -1 in, mask out
constexpr uint32_t kStartQuery = encode(kDirRead, kGpioType, 0xc1, 4);       // value not used
constexpr uint32_t kLegacyLedQuery = encode(kDirRead, kGpioType, 0xa4, 4);   // fails on pattern boards
constexpr uint32_t kLegacyLed = encode(kDirWrite, kGpioType, 0xa3, 4);       // the value itself
constexpr uint32_t kDisplay = encode(kDirRead, kGpioType, 0xcc, 20);         // DisplayFrame
constexpr uint32_t kBoardLeds278 = encode(kDirWrite, kGpioType, 0xce, 36);   // BoardLedFrame
constexpr uint32_t kReadInputs = encode(kDirRead, kGpioType, 0xae, 4);       // bits 0, 1
constexpr uint32_t kCardReader = encode(kDirRead, kGpioType, 0xaf, 4);       // non-zero: present
constexpr uint32_t kTicks = encode(kDirRead, kGpioType, 0xcb, 8);            // 1/100 s counter

// "/dev/button" (else "/dev/button0")
constexpr uint32_t kButtonMaskQuery = encode(kDirRead, kButtonType, 0x00, 20);  // word 0: -1 in, mask out
constexpr uint32_t kButtonSetTimes = encode(kDirWrite, kButtonType, 0x01, 20);  // {mask, 0, short, long, 0}

}  // namespace boardreq

// Argument of kShowPattern, five words in this order.
struct LedPattern {
  uint32_t ledMask;     // the LEDs the pattern applies to
  uint32_t bits;        // pattern bits
  uint32_t lengthMask;  // pattern length mask
  uint32_t repeat;      // repeat flag
  uint32_t periodMs;    // step period
};

// Argument of kBoardLeds278: words 0-2 select LEDs in three groups,
// words 3-5 give their new on bits, words 6-8 are 0.
struct BoardLedFrame {
  uint32_t select[3];
  uint32_t on[3];
  uint32_t reserved[3];
};

// Argument of kDisplay: word 0 the two characters and their points,
// words 1-4 the blink parameters. Also the layout of the 20-byte query
// frames (kLedMaskQuery, kButtonMaskQuery, kButtonSetTimes).
struct DisplayFrame {
  uint32_t word[5];
};

static_assert(sizeof(LedPattern) == boardreq::argSize(boardreq::kShowPattern), "LedPattern size");
static_assert(sizeof(BoardLedFrame) == boardreq::argSize(boardreq::kBoardLeds278), "BoardLedFrame size");
static_assert(sizeof(DisplayFrame) == boardreq::argSize(boardreq::kDisplay), "DisplayFrame size");

// One board: the gpio device and the button devices.
class BoardDriver {
 public:
  virtual ~BoardDriver() = default;

  // The gpio device: open read-write, close, state.
  virtual bool open() = 0;
  virtual void close() = 0;
  virtual bool isOpen() const = 0;
  // One request whose argument is the memory at arg (of the size the
  // request number gives); the driver's result, -1 when not open.
  virtual int control(uint32_t request, void* arg) = 0;
  // One request whose argument is the value itself (kLegacyLed).
  virtual int controlValue(uint32_t request, uint32_t value) = 0;

  // The button control device ("/dev/button", else "/dev/button0").
  virtual bool openButtonControl() = 0;
  virtual int buttonControl(uint32_t request, void* arg) = 0;
  virtual void closeButtonControl() = 0;

  // Button i's device, read-only: a descriptor that becomes readable with
  // one character per press ('0' short, '1' long), or -1.
  virtual int openButton(int index) = 0;
  virtual int readButton(int fd, char* buffer, int size) = 0;
  virtual void closeButton(int fd) = 0;
};

#endif
