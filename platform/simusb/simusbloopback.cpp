// A bulk loopback device: every OUT transfer on 0x01 comes back as one IN
// transfer on 0x81, with the same packets (so it ends with a short packet
// unless its length is a whole number of packets).
#include <cstring>

#include "platform/simusb/simusbdevice.h"
#include "platform/simusb/simusbkinds.h"

namespace {

constexpr uint8_t kOutEndpoint = 0x01;
constexpr uint8_t kInEndpoint = 0x81;
constexpr size_t kCapacity = 4u << 20;  // bytes held before OUT transfers wait

class SimUsbLoopback : public SimUsbDevice {
 public:
  explicit SimUsbLoopback(SimUsbDescriptors d) : SimUsbDevice("loopback", std::move(d)) {}

  bool acceptOut(uint8_t endpoint, const uint8_t* data, size_t size, bool zeroPacket) override {
    if (endpoint != kOutEndpoint) return true;
    size_t held = 0;
    for (const auto& s : inQueue(kInEndpoint)) held += s.data.size() - s.offset;
    if (held && held + size > kCapacity) return false;
    const bool ends = size == 0 || size % maxPacket(kInEndpoint) != 0 || zeroPacket;
    std::vector<uint8_t> copy = spareBuffer();
    copy.assign(data, data + size);
    pushIn(kInEndpoint, std::move(copy), ends);
    return true;
  }

 protected:
  int classControl(uint8_t requestType, uint8_t request, uint16_t, uint16_t, uint8_t* data,
                   uint16_t length) override {
    // Vendor IN request 1: a short identification, as far as it fits.
    if (requestType == 0xc0 && request == 1) {
      static const char kId[] = "SIMLOOP1";
      size_t n = length < sizeof kId - 1 ? length : sizeof kId - 1;
      std::memcpy(data, kId, n);
      return static_cast<int>(n);
    }
    if (requestType == 0x40 && request == 2) return length;  // vendor OUT: taken and dropped
    return -EPIPE;
  }
};

}  // namespace

SimUsbDescriptors simUsbLoopbackDescriptors() {
  SimUsbDescriptors d;
  d.vendor = 0x1209;
  d.product = 0x0002;
  d.deviceClass = 0xff;
  d.speed = SimUsbSpeed::High;
  d.iManufacturer = d.addString("Simulated Devices");
  d.iProduct = d.addString("Sim Loopback");
  d.iSerial = d.addString("LOOP0001");
  SimUsbConfiguration c;
  SimUsbInterface i;
  i.interfaceClass = 0xff;
  SimUsbEndpoint out;
  out.address = kOutEndpoint;
  out.attributes = 2;
  SimUsbEndpoint in = out;
  in.address = kInEndpoint;
  i.endpoints = {out, in};
  c.interfaces.push_back(i);
  d.configurations.push_back(c);
  return d;
}

std::unique_ptr<SimUsbDevice> makeSimUsbLoopback(SimUsbDescriptors d, const SimUsbOptions&, std::string*) {
  return std::make_unique<SimUsbLoopback>(std::move(d));
}
