// A hub: devices with a devpath below it ("1-1.2" below "1-1") can only be
// plugged while it is. Its status-change endpoint never reports anything.
#include <cstring>

#include "platform/simusb/simusbdevice.h"
#include "platform/simusb/simusbkinds.h"

namespace {

class SimUsbHub : public SimUsbDevice {
 public:
  SimUsbHub(SimUsbDescriptors d, int ports) : SimUsbDevice("hub", std::move(d)), ports_(ports) {}

  int hubPorts() const override { return ports_; }

 protected:
  int classControl(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index, uint8_t* data,
                   uint16_t length) override {
    if (requestType == 0xa0 && request == 6 && (value >> 8) == 0x29) {  // hub descriptor
      const uint8_t hub[] = {9, 0x29, static_cast<uint8_t>(ports_), 0x09, 0, 50, 100, 0, 0xff};
      size_t n = length < sizeof hub ? length : sizeof hub;
      std::memcpy(data, hub, n);
      return static_cast<int>(n);
    }
    if ((requestType == 0xa0 || requestType == 0xa3) && request == 0) {  // hub or port status
      if (length < 4 || (requestType == 0xa3 && (index < 1 || index > ports_))) return -EPIPE;
      std::memset(data, 0, 4);
      if (requestType == 0xa3) data[1] = 0x01;  // port power
      return 4;
    }
    if ((requestType == 0x20 || requestType == 0x23) && (request == 1 || request == 3)) return 0;
    return -EPIPE;
  }

 private:
  int ports_;
};

}  // namespace

SimUsbDescriptors simUsbHubDescriptors() {
  SimUsbDescriptors d;
  d.vendor = 0x1209;
  d.product = 0x0004;
  d.deviceClass = 9;
  d.protocol = 1;  // one transaction translator
  d.speed = SimUsbSpeed::High;
  d.iProduct = d.addString("Sim Hub");
  SimUsbConfiguration c;
  c.attributes = 0xe0;
  SimUsbInterface i;
  i.interfaceClass = 9;
  SimUsbEndpoint e;
  e.address = 0x81;
  e.attributes = 3;
  e.maxPacket = 1;
  e.interval = 12;
  i.endpoints.push_back(e);
  c.interfaces.push_back(i);
  d.configurations.push_back(c);
  return d;
}

std::unique_ptr<SimUsbDevice> makeSimUsbHub(SimUsbDescriptors d, const SimUsbOptions& options, std::string* error) {
  bool ok = true;
  long ports = options.number("ports", 4, &ok);
  if (!ok || ports < 1 || ports > 15) {
    *error = "bad ports";
    return nullptr;
  }
  return std::make_unique<SimUsbHub>(std::move(d), static_cast<int>(ports));
}
