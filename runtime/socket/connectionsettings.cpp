#include "runtime/socket/connectionsettings.h"

#include <atomic>

namespace {

std::atomic<int (*)(int, IpAddress&)> vlanAddressReader{nullptr};
std::atomic<int (*)()> managementVlanReader{nullptr};
std::atomic<InterfaceView* (*)()> activeInterfaceReader{nullptr};

}  // namespace

void setConnectionSettings(const ConnectionSettings& settings) {
  vlanAddressReader.store(settings.vlanAddress);
  managementVlanReader.store(settings.managementVlan);
  activeInterfaceReader.store(settings.activeInterface);
}

int connectionVlanAddress(int index, IpAddress& out) {
  auto reader = vlanAddressReader.load();
  return reader != nullptr ? reader(index, out) : 0;
}

int connectionManagementVlan() {
  auto reader = managementVlanReader.load();
  return reader != nullptr ? reader() : -1;
}

InterfaceView* connectionActiveInterface() {
  auto reader = activeInterfaceReader.load();
  return reader != nullptr ? reader() : nullptr;
}
