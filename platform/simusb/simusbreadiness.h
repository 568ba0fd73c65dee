// The pollable descriptor of a simulated usbfs handle: one end of a Unix
// stream socket pair. The simulator keeps the handle's send buffer full
// while nothing waits to be reaped (not writable) and drains it when a
// completion waits (EPOLLOUT). Hanging up closes the simulator's end with
// data unread in it: the handle then reports EPOLLHUP and EPOLLERR.
#ifndef PLATFORM_SIMUSB_SIMUSBREADINESS_H
#define PLATFORM_SIMUSB_SIMUSBREADINESS_H

class SimUsbReadiness {
 public:
  SimUsbReadiness() = default;
  ~SimUsbReadiness();
  SimUsbReadiness(const SimUsbReadiness&) = delete;
  SimUsbReadiness& operator=(const SimUsbReadiness&) = delete;

  // Makes the pair, not writable. 0 or a negative errno.
  int open();
  // The handle's descriptor, -1 before open.
  int handle() const { return handle_; }
  void setWritable(bool writable);
  void hangUp();
  bool hungUp() const { return peer_ < 0 && handle_ >= 0; }
  void close();

 private:
  void fill();
  void drain();

  int handle_ = -1;
  int peer_ = -1;
  bool writable_ = false;
};

#endif
