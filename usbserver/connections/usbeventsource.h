// UsbEventSource: a descriptor in a USB task's epoll set tied to the
// handler that runs when it is ready. A client socket's source is its
// UsbConnection (usbconnection.h); a connected device's source watches the
// row's usbfs handle and reaps its transfers.
//
// A source is created, registered, changed and destroyed only on the thread
// of the task whose epoll set holds it.
#ifndef USBSERVER_CONNECTIONS_USBEVENTSOURCE_H
#define USBSERVER_CONNECTIONS_USBEVENTSOURCE_H

#include <cstdint>

#include "runtime/task/task.h"

class TlsConnection;

class UsbEventSource {
 public:
  // Called with the source when its descriptor is ready; negative = the
  // source has failed (its error becomes -1).
  using Handler = int (*)(UsbEventSource& source);

  // A zeroed source for fd and row whose registration dispatches through
  // dispatchUsbPollEvent; null without memory.
  static UsbEventSource* create(int fd, int row);

  UsbEventSource(int fd, int row);
  virtual ~UsbEventSource() = default;
  UsbEventSource(const UsbEventSource&) = delete;
  UsbEventSource& operator=(const UsbEventSource&) = delete;

  // Adds the source to task's epoll set with no events: 1, or 0.
  int attachTo(Task* task);
  // Event mask changes (EPOLLIN|EPOLLHUP, EPOLLOUT|EPOLLHUP): epoll_ctl's result.
  int enableInput();
  int enableOutput();
  int disableInput();
  int disableOutput();
  void setHandler(Handler h) { handler = h; }
  // The source's error when negative, else one Task::pollEvents of the
  // owner task (ms).
  int waitEvents(int timeoutMs);

  int32_t fd;                    // socket or usbfs handle watched
  TaskEventRecord registration;  // owner = this source; epoll user data
  int32_t epollFd = -1;          // set it is registered in; -1 none
  Handler handler = nullptr;
  uint32_t eventMask = 0;
  uint32_t lastEvents = 0;
  int32_t error = 0;             // -1 once a handler failed
  int32_t row;                   // device table row of a device source
  Task* ownerTask = nullptr;
  // A device source's connection: a failed handler fails it too, which
  // ends the connection.
  UsbEventSource* parent = nullptr;
};

// The callback of every source's registration: stores the events, runs the
// handler (a negative result sets the error). Always 0.
int dispatchUsbPollEvent(TaskEventRecord* record, uint32_t events);

// One wait of task's epoll set (ms) and the dispatch of at most one ready
// record: the number of events (0 or 1), negative on error. Handlers may
// serve the task's messages while they wait for their socket; with one
// event per wait no message already read can still be pending dispatch.
int pollOneTaskEvent(Task* task, int timeoutMs);

// Takes the source out of its epoll set, frees it and clears the pointer.
void destroyUsbEventSource(UsbEventSource*& source);

// On a task's own thread at its end (no poll of it is running any more,
// even one a MSG_QUIT left): frees the sources destroyed during a poll.
void endUsbEventSourcesOfThread();

// Activity shown on every dispatch (the status LED on some models); null
// for none. Set once by the start-up.
void setUsbActivityHook(void (*hook)());

#endif
