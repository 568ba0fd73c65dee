// The board driver of the appliance: ioctls on "/dev/gpio" and the button
// devices, reads of "/dev/button<n>".
#ifndef PLATFORM_BOARD_GPIOBOARDDRIVER_H
#define PLATFORM_BOARD_GPIOBOARDDRIVER_H

#include "platform/board/boarddriver.h"

class GpioBoardDriver : public BoardDriver {
 public:
  GpioBoardDriver() = default;
  ~GpioBoardDriver() override;

  bool open() override;
  void close() override;
  bool isOpen() const override { return fd_ >= 0; }
  int control(uint32_t request, void* arg) override;
  int controlValue(uint32_t request, uint32_t value) override;

  bool openButtonControl() override;
  int buttonControl(uint32_t request, void* arg) override;
  void closeButtonControl() override;

  int openButton(int index) override;
  int readButton(int fd, char* buffer, int size) override;
  void closeButton(int fd) override;

 private:
  int fd_ = -1;
  int buttonControlFd_ = -1;
};

#endif
