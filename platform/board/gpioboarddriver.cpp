#include "platform/board/gpioboarddriver.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <string>

#include "runtime/file/paths.h"

namespace {

int openNode(const char* path, int flags) {
  return ::open(mapPath(path).c_str(), flags | O_CLOEXEC);
}

}  // namespace

GpioBoardDriver::~GpioBoardDriver() {
  closeButtonControl();
  close();
}

bool GpioBoardDriver::open() {
  if (fd_ >= 0) return true;
  fd_ = openNode("/dev/gpio", O_RDWR);
  return fd_ >= 0;
}

void GpioBoardDriver::close() {
  if (fd_ < 0) return;
  ::close(fd_);
  fd_ = -1;
}

int GpioBoardDriver::control(uint32_t request, void* arg) {
  if (fd_ < 0) return -1;
  return ::ioctl(fd_, static_cast<unsigned long>(request), arg);
}

int GpioBoardDriver::controlValue(uint32_t request, uint32_t value) {
  if (fd_ < 0) return -1;
  return ::ioctl(fd_, static_cast<unsigned long>(request), static_cast<unsigned long>(value));
}

bool GpioBoardDriver::openButtonControl() {
  closeButtonControl();
  int fd = openNode("/dev/button", O_RDWR);
  if (fd < 0) fd = openNode("/dev/button0", O_RDWR);
  // A descriptor of 0 is not taken as a button device.
  if (fd == 0) {
    ::close(fd);
    fd = -1;
  }
  buttonControlFd_ = fd;
  return fd > 0;
}

int GpioBoardDriver::buttonControl(uint32_t request, void* arg) {
  if (buttonControlFd_ < 0) return -1;
  return ::ioctl(buttonControlFd_, static_cast<unsigned long>(request), arg);
}

void GpioBoardDriver::closeButtonControl() {
  if (buttonControlFd_ < 0) return;
  ::close(buttonControlFd_);
  buttonControlFd_ = -1;
}

int GpioBoardDriver::openButton(int index) {
  if (index < 0 || index > 3) return -1;
  std::string path = "/dev/button" + std::to_string(index);
  return openNode(path.c_str(), O_RDONLY);
}

int GpioBoardDriver::readButton(int fd, char* buffer, int size) {
  if (fd < 0 || size <= 0) return -1;
  return static_cast<int>(::read(fd, buffer, static_cast<size_t>(size)));
}

void GpioBoardDriver::closeButton(int fd) {
  if (fd >= 0) ::close(fd);
}
