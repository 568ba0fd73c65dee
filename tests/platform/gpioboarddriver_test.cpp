#include "platform/board/gpioboarddriver.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "runtime/file/paths.h"
#include "support/scratch_root.h"

namespace {

class GpioBoardDriverTest : public ScratchRoot {
 protected:
  void SetUp() override {
    ScratchRoot::SetUp();
    ASSERT_EQ(::mkdir((dir_ + "/dev").c_str(), 0755), 0);
  }
  void writeFile(const char* fixed, const char* text) {
    FILE* f = std::fopen(mapPath(fixed).c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs(text, f);
    std::fclose(f);
  }
};

TEST_F(GpioBoardDriverTest, MissingNodesFailEveryRequest) {
  GpioBoardDriver drv;
  EXPECT_FALSE(drv.open());
  EXPECT_FALSE(drv.isOpen());
  uint32_t word = 0x5a5a;
  EXPECT_EQ(drv.control(boardreq::kReadInputs, &word), -1);
  EXPECT_EQ(word, 0x5a5au);
  EXPECT_EQ(drv.controlValue(boardreq::kLegacyLed, 0x228), -1);
  EXPECT_FALSE(drv.openButtonControl());
  EXPECT_EQ(drv.buttonControl(boardreq::kButtonMaskQuery, &word), -1);
  EXPECT_EQ(drv.openButton(0), -1);
  EXPECT_EQ(drv.openButton(4), -1);
}

TEST_F(GpioBoardDriverTest, ANodeThatIsNoDeviceRefusesTheRequests) {
  writeFile("/dev/gpio", "");
  GpioBoardDriver drv;
  ASSERT_TRUE(drv.open());
  uint64_t ticks = 7;
  EXPECT_EQ(drv.control(boardreq::kTicks, &ticks), -1);
  EXPECT_EQ(ticks, 7u);
  drv.close();
  EXPECT_FALSE(drv.isOpen());
}

TEST_F(GpioBoardDriverTest, ButtonControlFallsBackToButtonZeroAndButtonsAreRead) {
  writeFile("/dev/button0", "");
  writeFile("/dev/button2", "01");
  GpioBoardDriver drv;
  EXPECT_TRUE(drv.openButtonControl());
  drv.closeButtonControl();

  int fd = drv.openButton(2);
  ASSERT_GE(fd, 0);
  char buf[32];
  EXPECT_EQ(drv.readButton(fd, buf, sizeof buf), 2);
  EXPECT_EQ(std::string(buf, 2), "01");
  drv.closeButton(fd);
  EXPECT_EQ(drv.openButton(1), -1);
}

}  // namespace
