// The O_NONBLOCK flag of descriptors.
#ifndef RUNTIME_SOCKET_FDFLAGS_H
#define RUNTIME_SOCKET_FDFLAGS_H

// 1 when O_NONBLOCK is clear; 0 when set or for an invalid descriptor.
int isBlockingFd(int fd);

// Sets (on non-zero) or clears O_NONBLOCK, only when it differs. 1 on
// success or no change, 0 on failure or an invalid descriptor.
int setNonBlockingFd(int fd, int on);

#endif
