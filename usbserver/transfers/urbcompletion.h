// Transfer completions composed under the row mutex and written after it:
// the reply headers and IN data of a few completions, in the order they
// are to reach the client, sent in one gathered write.
#ifndef USBSERVER_TRANSFERS_URBCOMPLETION_H
#define USBSERVER_TRANSFERS_URBCOMPLETION_H

#include <cstdint>

#include "usbserver/protocol/wireprotocol.h"

struct UrbRequest;
class UsbConnection;
class UsbDeviceRow;

struct UrbCompletion {
  UrbRequest* request = nullptr;
  int index = -1;  // sub-request answered
  bool final = false;
  uint8_t head[USB_REPLY_HEADER_SIZE] = {};
  const void* data = nullptr;  // the sub-request's buffer, kept until written
  uint32_t length = 0;
};

class UrbCompletionBatch {
 public:
  static constexpr int kMax = 6;

  bool empty() const { return count_ == 0; }
  bool full() const { return count_ == kMax; }
  int size() const { return count_; }
  const UrbCompletion& at(int i) const { return items_[i]; }

  // Under the row mutex: the completion of sub-request index of request
  // with status and error, and length bytes of data (IN). A final one
  // flags the request Sent. False when the batch is full.
  bool add(UrbRequest* request, int index, bool final, uint32_t status, int32_t error, const void* data,
           uint32_t length);

  // Writes every completion in one gathered write (row mutex not held),
  // then, under the mutex, finishes those whose request is still on the
  // row's list: a final one releases its request, an intermediate one
  // gives back its sub-request's buffer. 0, or -1 when not all went.
  int deliver(UsbConnection& connection, UsbDeviceRow& row);
  // Nobody to write to: the requests of final completions are released.
  void drop(UsbDeviceRow& row);

 private:
  UrbCompletion items_[kMax];
  int count_ = 0;
};

#endif
