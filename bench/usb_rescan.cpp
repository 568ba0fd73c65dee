// A rescan of the USB device table with 40 devices plugged (product 353:
// four hubs of five ports, two devices behind each port) against reading
// the same sysfs files with plain open/read/close, measured in the same run.
#include <fcntl.h>
#include <ftw.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "params/identity/productparams.h"
#include "platform/simusb/usbhost_sim.h"
#include "runtime/file/paths.h"
#include "usbserver/devices/usbdevicetable.h"
#include "usbserver/discovery/usbfilesystem.h"
#include "usbserver/discovery/usbscan.h"

namespace {

using Clock = std::chrono::steady_clock;

// The attributes a scan reads of each device.
const char* const kAttributes[] = {"bDeviceClass", "bDeviceSubClass", "busnum", "devnum", "bMaxPower",
                                   "bcdDevice", "idProduct", "idVendor", "dev", "product", "serial",
                                   "speed", "version", "devpath", "manufacturer"};

int removeEntry(const char* path, const struct stat*, int, struct FTW*) {
  ::remove(path);
  return 0;
}

// Reads every attribute of every device directory once; a checksum keeps
// the reads from being optimised away.
unsigned readAttributesPlainly(const std::vector<std::string>& devices) {
  unsigned sum = 0;
  char buffer[64];
  for (const std::string& dir : devices) {
    for (const char* name : kAttributes) {
      const std::string path = dir + "/" + name;
      const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK);
      if (fd < 0) continue;
      const ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n > 0) sum += static_cast<unsigned char>(buffer[0]);
      ::close(fd);
    }
  }
  return sum;
}

template <class F>
double bestSeconds(int rounds, int repeats, F body) {
  double best = 1e9;
  for (int r = 0; r < rounds; ++r) {
    const auto start = Clock::now();
    for (int i = 0; i < repeats; ++i) body();
    const double s = std::chrono::duration<double>(Clock::now() - start).count() / repeats;
    best = std::min(best, s);
  }
  return best;
}

}  // namespace

int main() {
  char pattern[] = "/tmp/usb-rescan-bench-XXXXXX";
  if (!mkdtemp(pattern)) return 1;
  const std::string root = pattern;
  setDataRoot(root.c_str());
  productParams().product_id = 353;
  setUsbTableLimits(353);

  int status = 0;
  {
    SimUsbHost host;
    setUsbHostForTesting(&host);
    prepareUsbDeviceFilesystem();
    std::vector<std::string> devices;
    for (int hub = 1; hub <= 4; ++hub) {
      const std::string top = "1-" + std::to_string(hub);
      host.plug(top, "hub 5");
      for (int port = 1; port <= 5; ++port) {
        const std::string second = top + "." + std::to_string(port);
        host.plug(second, "hub 2");
        for (int leaf = 1; leaf <= 2; ++leaf) {
          const std::string name = second + "." + std::to_string(leaf);
          host.plug(name, leaf == 1 ? "loopback" : "hid");
          devices.push_back(UsbHost::sysfsDevicesDir() + "/" + name);
        }
      }
    }

    const auto firstStart = Clock::now();
    const int added = rescanUsbDevices();
    const double firstScan = std::chrono::duration<double>(Clock::now() - firstStart).count();
    if (added != 40) {
      std::fprintf(stderr, "only %d of 40 devices entered\n", added);
      status = 1;
    }

    constexpr int kRounds = 7, kRepeats = 20;
    unsigned sink = 0;
    const double plain = bestSeconds(kRounds, kRepeats, [&] { sink += readAttributesPlainly(devices); });
    const double rescan = bestSeconds(kRounds, kRepeats, [&] { sink += static_cast<unsigned>(rescanUsbDevices()); });

    std::printf("usb_rescan: 40 devices behind 24 hubs, %d attribute files per device\n",
                static_cast<int>(sizeof kAttributes / sizeof kAttributes[0]));
    std::printf("  plain reads of the same files: %8.1f us\n", plain * 1e6);
    std::printf("  rescan (all devices known):    %8.1f us\n", rescan * 1e6);
    std::printf("  ratio rescan / plain reads:    %8.2f  (goal <= 2)\n", rescan / plain);
    std::printf("  first scan (probe of all 40):  %8.1f us (%.1f x plain reads)\n", firstScan * 1e6,
                firstScan / plain);
    if (sink == 0xFFFFFFFFu) std::printf(" \n");

    for (UsbDeviceRow& row : usbDeviceTable) row.recycle();
    setUsbHostForTesting(nullptr);
  }
  setDataRoot("");
  ::nftw(root.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
  return status;
}
