// Fuzzes SUBMIT_URB bodies: the first 4 bytes are the request header's
// context word (bytes 0-2: isochronous packets), the rest is what the
// client sends after the header, request after request. The connection
// owns the simulated devices (a HID device, a bulk loopback, a small
// mass-storage device behind a hub) with their configuration set; the
// completions are reaped after each request, every reply is read and
// dropped. At the end the devices are given back and no transfer record
// may be left.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "fuzz/support/inputsocket.h"
#include "fuzz/support/usbfuzzserver.h"
#include "params/identity/productparams.h"
#include "platform/simusb/usbhost_sim.h"
#include "platform/usb/usbhost.h"
#include "runtime/file/paths.h"
#include "runtime/task/task.h"
#include "runtime/tls/tlsconnection.h"
#include "usbserver/connections/usbconnection.h"
#include "usbserver/devices/usbdevicetable.h"
#include "usbserver/discovery/usbfilesystem.h"
#include "usbserver/discovery/usbscan.h"
#include "usbserver/protocol/wireprotocol.h"
#include "usbserver/transfers/urbengine.h"
#include "usbserver/transfers/urbsubmit.h"

namespace {

constexpr size_t kMaxInput = 65536;
constexpr int kMaxRequests = 64;
constexpr int kReapsPerRequest = 16;

// The connection owns every present device, open and configured, as after
// CONNECT and SET_CONFIGURATION.
void takeDevices(UsbConnection& c) {
  for (int row = 0; row < USB_MAXDEVS; ++row) {
    UsbDeviceRow& r = usbDeviceTable[row];
    if (r.rowState() != UsbRowState::PRESENT) continue;
    muxIn(row);
    if (r.openDevice(O_RDWR)) {
      usbHost().setConfiguration(r.usbfsHandle, 1);
      r.owner = &c;
      r.setRowState(UsbRowState::IN_USE);
    }
    unlockUsbDeviceRow(row);
    if (r.owner == &c) c.watchRowHandle(row);
  }
}

void reapAll() {
  for (int row = 0; row < USB_MAXDEVS; ++row) {
    for (int i = 0; i < kReapsPerRequest; ++i) {
      UsbEventSource* source = usbDeviceTable[row].eventSource;
      if (!source || usb_srv_poll(*source) < 0) break;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  UsbFuzzServer& s = usbFuzzServer();
  if (size < 4) return 0;
  if (size > kMaxInput) size = kMaxInput;
  UsbRequestHeader header;
  header.context = getBe32(data);
  header.opcode = USB_OP_SUBMIT_URB;
  data += 4;
  size -= 4;

  int fds[2];
  if (!openFuzzSocketPair(fds)) return 0;
  sendWholeInput(fds[1], data, size);

  TlsConnection socket(nullptr, nullptr, -1);
  socket.fd = fds[0];
  socket.type = SOCK_STREAM;
  socket.state = CONN_STATE_CONNECTED;
  {
    UsbConnection connection(&socket, s.task);
    takeDevices(connection);
    for (int i = 0; i < kMaxRequests; ++i) {
      header.tag = static_cast<uint32_t>(i);
      const int r = submitUrb(connection, header);
      drainReplies(fds[1]);
      reapAll();
      drainReplies(fds[1]);
      if (r < 0) break;
      uint8_t more;
      if (::recv(fds[0], &more, 1, MSG_PEEK | MSG_DONTWAIT) <= 0) break;
    }
    connection.serveHandovers(0);
    releaseConnectionDevices(connection);
    connection.serveHandovers(0);
  }
  socket.close();
  ::close(fds[1]);
  if (urbCount.load() != 0) {
    std::fprintf(stderr, "transfer records left: %d\n", urbCount.load());
    std::abort();
  }
  return 0;
}
