// The USB server's fuzz targets share one setting: a model-353 identity, a
// simulated host with a hub and behind it a HID device, a bulk loopback
// and a small mass-storage device, entered in the device table, and a task
// that is never started, whose epoll set holds the connection's device
// sources. Made once per process.
#ifndef FUZZ_SUPPORT_USBFUZZSERVER_H
#define FUZZ_SUPPORT_USBFUZZSERVER_H

#include <stdlib.h>
#include <sys/socket.h>

#include <cstdio>

#include "params/identity/productparams.h"
#include "platform/simusb/usbhost_sim.h"
#include "platform/usb/usbhost.h"
#include "runtime/file/paths.h"
#include "runtime/task/task.h"
#include "usbserver/devices/usbdevicetable.h"
#include "usbserver/discovery/usbfilesystem.h"
#include "usbserver/discovery/usbscan.h"

class UsbFuzzIdleTask : public Task {
 public:
  UsbFuzzIdleTask() : Task("UsbFuzz") {}
  void run() override {}
};

struct UsbFuzzServer {
  SimUsbHost* host = nullptr;
  UsbFuzzIdleTask* task = nullptr;

  UsbFuzzServer() {
    static const char kIdentity[] =
        "product_id=353\nusb_ports_phy=20\ndevice_types=UUUUUUUUUUUUUUUUUUUU\nusbtable_product_id=353\n";
    char pattern[] = "/tmp/usb-fuzz-XXXXXX";
    if (!mkdtemp(pattern)) std::abort();
    setDataRoot(pattern);
    std::FILE* identity = fmemopen(const_cast<char*>(kIdentity), sizeof kIdentity - 1, "r");
    parseProductParams(identity, productParams());
    std::fclose(identity);
    setUsbTableLimits(productParams().usbtable_product_id);
    host = new SimUsbHost;
    setUsbHostForTesting(host);
    prepareUsbDeviceFilesystem();
    host->plug("1-1", "hub 4");
    host->plug("1-1.1", "hid");
    host->plug("1-1.2", "loopback");
    host->plug("1-1.3", "storage size=64K");
    rescanUsbDevices();
    task = new UsbFuzzIdleTask;
  }
};

inline UsbFuzzServer& usbFuzzServer() {
  static UsbFuzzServer* s = new UsbFuzzServer;
  return *s;
}

// Reads and drops whatever the server has written so far.
inline void drainReplies(int fd) {
  char buffer[16384];
  while (::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT) > 0) {
  }
}

#endif
