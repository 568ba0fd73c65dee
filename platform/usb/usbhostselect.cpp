// The choice of the USB host.
#include <sys/stat.h>

#include <memory>
#include <mutex>
#include <string>

#include "platform/simusb/usbhost_sim.h"
#include "platform/usb/usbhost.h"
#include "platform/usb/usbhost_linux.h"
#include "runtime/file/paths.h"

namespace {

std::mutex choiceMutex;
UsbHost* testHost = nullptr;
std::unique_ptr<UsbHost> chosenHost;
std::string chosenForRoot;

std::unique_ptr<UsbHost> chooseHost() {
  struct stat st;
  if (::stat(mapPath("/etc/simusb.conf").c_str(), &st) != 0) return std::make_unique<LinuxUsbHost>();
  auto sim = std::make_unique<SimUsbHost>();
  sim->loadDeviceFile();
  sim->startControl();
  return sim;
}

}  // namespace

UsbHost& usbHost() {
  std::lock_guard<std::mutex> lock(choiceMutex);
  if (testHost) return *testHost;
  const std::string root = dataRoot();
  if (!chosenHost || root != chosenForRoot) {
    chosenHost.reset();
    chosenHost = chooseHost();
    chosenForRoot = root;
  }
  return *chosenHost;
}

void setUsbHostForTesting(UsbHost* host) {
  std::lock_guard<std::mutex> lock(choiceMutex);
  testHost = host;
}
