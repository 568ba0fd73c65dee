#include "runtime/loopdev.h"

#include "runtime/support/scratch_root.h"

namespace {

class LoopDevice : public ScratchRoot {};

// Binding a real loop device needs privileges a test must not assume; the
// failure paths hold on any machine.
TEST_F(LoopDevice, FailsWithoutFileOrDevice) {
  writeFile("image", std::string(4096, 0));
  writeFile("notaloop", "");
  EXPECT_EQ(attachLoopDevice(path("missingloop").c_str(), path("image").c_str(), 0), 0);
  EXPECT_EQ(attachLoopDevice(path("notaloop").c_str(), path("missing").c_str(), 0), 0);
  // A plain file refuses the loop requests.
  EXPECT_EQ(attachLoopDevice(path("notaloop").c_str(), path("image").c_str(), 512), 0);
  EXPECT_EQ(attachLoopDevice(path("notaloop").c_str(), path("image").c_str(), -1), 0);
  EXPECT_EQ(attachLoopDevice(nullptr, path("image").c_str(), 0), 0);
  EXPECT_EQ(detachLoopDevice(path("notaloop").c_str()), 0);
  EXPECT_EQ(detachLoopDevice(path("missingloop").c_str()), 0);
  EXPECT_EQ(detachLoopDevice(nullptr), 0);
}

}  // namespace
