#include "runtime/socket/fdflags.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

namespace {

TEST(FdFlags, SetsAndClearsNonBlockingOnlyWhenItDiffers) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  EXPECT_EQ(isBlockingFd(fds[0]), 1);
  EXPECT_EQ(setNonBlockingFd(fds[0], 0), 1);  // no change
  EXPECT_EQ(setNonBlockingFd(fds[0], 1), 1);
  EXPECT_EQ(isBlockingFd(fds[0]), 0);
  EXPECT_NE(fcntl(fds[0], F_GETFL) & O_NONBLOCK, 0);
  EXPECT_EQ(setNonBlockingFd(fds[0], 5), 1);  // any non-zero means on
  EXPECT_EQ(setNonBlockingFd(fds[0], 0), 1);
  EXPECT_EQ(isBlockingFd(fds[0]), 1);
  EXPECT_EQ(isBlockingFd(fds[1]), 1);  // the other end is its own descriptor
  close(fds[0]);
  close(fds[1]);

  EXPECT_EQ(isBlockingFd(fds[0]), 0);
  EXPECT_EQ(setNonBlockingFd(fds[0], 1), 0);
  EXPECT_EQ(isBlockingFd(-1), 0);
  EXPECT_EQ(setNonBlockingFd(-1, 0), 0);
}

}  // namespace
