#include "platform/board/boardselect.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "platform/board/boarddriver.h"
#include "platform/board/simboard.h"
#include "runtime/file/paths.h"
#include "support/scratch_root.h"

namespace {

class BoardSelectTest : public ScratchRoot {
 protected:
  void SetUp() override {
    ScratchRoot::SetUp();
    ASSERT_EQ(::mkdir((dir_ + "/dev").c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((dir_ + "/var").c_str(), 0755), 0);
  }
  void TearDown() override {
    useSimulatedBoard(false);
    ScratchRoot::TearDown();
  }
  void writeFile(const char* fixed, const char* text) {
    FILE* f = std::fopen(mapPath(fixed).c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs(text, f);
    std::fclose(f);
  }
};

TEST_F(BoardSelectTest, NoBoardWithoutNodeOrRequest) {
  EXPECT_EQ(chooseBoardKind(), BoardKind::None);
  EXPECT_EQ(createBoardDriver(), nullptr);
  // A plain file named like the device is not a board.
  writeFile("/dev/gpio", "");
  EXPECT_EQ(chooseBoardKind(), BoardKind::None);
}

TEST_F(BoardSelectTest, SimulatedBoardOnRequestOrMarkerFile) {
  useSimulatedBoard(true);
  EXPECT_EQ(chooseBoardKind(), BoardKind::Simulated);
  useSimulatedBoard(false);
  writeFile("/dev/gpio.sim", "");
  EXPECT_EQ(chooseBoardKind(), BoardKind::Simulated);
}

TEST_F(BoardSelectTest, CharacterDeviceSelectsTheRealDriver) {
  if (::mknod(mapPath("/dev/gpio").c_str(), S_IFCHR | 0600, makedev(1, 3)) != 0)
    GTEST_SKIP() << "cannot create a device node here";
  writeFile("/dev/gpio.sim", "");
  EXPECT_EQ(chooseBoardKind(), BoardKind::Real);
  auto drv = createBoardDriver();
  ASSERT_NE(drv, nullptr);
  EXPECT_EQ(currentSimBoard(), nullptr);
}

TEST_F(BoardSelectTest, SimulatedBoardRunsItsCommandFileAndServesItsSocket) {
  writeFile("/dev/gpio.sim", "# a legacy board with one supply down\nlegacy 1\npsu 1 0\n");
  auto drv = createBoardDriver();
  ASSERT_NE(drv, nullptr);
  SimBoard* sim = currentSimBoard();
  ASSERT_EQ(static_cast<BoardDriver*>(sim), drv.get());
  ASSERT_TRUE(drv->open());
  uint32_t word = 0;
  EXPECT_EQ(drv->control(boardreq::kLegacyLedQuery, &word), 0);
  EXPECT_EQ(drv->control(boardreq::kReadInputs, &word), 0);
  EXPECT_EQ(word, 1u);
  struct stat st;
  ASSERT_EQ(::stat(mapPath("/var/simboard.ctl").c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  drv.reset();
  EXPECT_EQ(currentSimBoard(), nullptr);
  EXPECT_NE(::stat(mapPath("/var/simboard.ctl").c_str(), &st), 0);
}

}  // namespace
