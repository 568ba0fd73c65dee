#include <gtest/gtest.h>

#include "platform/board/boarddriver.h"

namespace {

struct RequestCase {
  const char* what;
  uint32_t request;
  uint32_t expected;  // the number the board driver answers to
  uint32_t direction;
  uint32_t size;
  uint32_t type;
};

TEST(BoardRequests, NumbersCarryTheDirectionSizeAndTypeOfTheirArgument) {
  using namespace boardreq;
  const RequestCase cases[] = {
      {"outputs on", kOutputsOn, 0x40040ac2, kDirWrite, 4, kGpioType},
      {"outputs off", kOutputsOff, 0x40040ac3, kDirWrite, 4, kGpioType},
      {"pattern", kShowPattern, 0x40140aca, kDirWrite, sizeof(LedPattern), kGpioType},
      {"read port leds", kReadPortLeds, 0x80040ac5, kDirRead, 4, kGpioType},
      {"led mask query", kLedMaskQuery, 0x80140ac9, kDirRead, 20, kGpioType},
      {"second start query", kStartQuery, 0x80040ac1, kDirRead, 4, kGpioType},
      {"legacy led query", kLegacyLedQuery, 0x80040aa4, kDirRead, 4, kGpioType},
      {"legacy led", kLegacyLed, 0x40040aa3, kDirWrite, 4, kGpioType},
      {"display", kDisplay, 0x80140acc, kDirRead, sizeof(DisplayFrame), kGpioType},
      {"board-278 leds", kBoardLeds278, 0x40240ace, kDirWrite, sizeof(BoardLedFrame), kGpioType},
      {"inputs", kReadInputs, 0x80040aae, kDirRead, 4, kGpioType},
      {"card reader", kCardReader, 0x80040aaf, kDirRead, 4, kGpioType},
      {"ticks", kTicks, 0x80080acb, kDirRead, sizeof(uint64_t), kGpioType},
      {"button mask", kButtonMaskQuery, 0x80145c00, kDirRead, 20, kButtonType},
      {"button times", kButtonSetTimes, 0x40145c01, kDirWrite, 20, kButtonType},
  };
  for (const RequestCase& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.request, c.expected);
    EXPECT_EQ(direction(c.request), c.direction);
    EXPECT_EQ(argSize(c.request), c.size);
    EXPECT_EQ(type(c.request), c.type);
    EXPECT_EQ(encode(direction(c.request), type(c.request), number(c.request), argSize(c.request)), c.request);
  }
}

}  // namespace
