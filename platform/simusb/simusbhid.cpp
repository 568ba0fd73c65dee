// A keyboard-like HID device: boot keyboard reports on interrupt IN 0x81,
// given by the test (inputReport) or made every interval milliseconds.
#include <cstring>

#include "platform/simusb/simusbdevice.h"
#include "platform/simusb/simusbkinds.h"

namespace {

constexpr uint8_t kReportEndpoint = 0x81;
constexpr size_t kMaxQueuedReports = 64;

// The boot keyboard report descriptor of HID 1.11, appendix B.1.
const uint8_t kReportDescriptor[] = {
    0x05, 0x01, 0x09, 0x06, 0xa1, 0x01, 0x05, 0x07, 0x19, 0xe0, 0x29, 0xe7, 0x15, 0x00, 0x25, 0x01, 0x75, 0x01,
    0x95, 0x08, 0x81, 0x02, 0x95, 0x01, 0x75, 0x08, 0x81, 0x01, 0x95, 0x05, 0x75, 0x01, 0x05, 0x08, 0x19, 0x01,
    0x29, 0x05, 0x91, 0x02, 0x95, 0x01, 0x75, 0x03, 0x91, 0x01, 0x95, 0x06, 0x75, 0x08, 0x15, 0x00, 0x25, 0x65,
    0x05, 0x07, 0x19, 0x00, 0x29, 0x65, 0x81, 0x00, 0xc0};

std::vector<uint8_t> hidDescriptor() {
  return {9, 0x21, 0x11, 0x01, 0, 1, 0x22, static_cast<uint8_t>(sizeof kReportDescriptor), 0};
}

class SimUsbHid : public SimUsbDevice {
 public:
  SimUsbHid(SimUsbDescriptors d, unsigned intervalMs) : SimUsbDevice("hid", std::move(d)), intervalMs_(intervalMs) {}

  bool inputReport(const std::vector<uint8_t>& report) override {
    auto& queue = inQueue(kReportEndpoint);
    // A device that is not polled keeps only its latest reports.
    while (queue.size() >= kMaxQueuedReports) queue.pop_front();
    pushIn(kReportEndpoint, report, report.empty() || report.size() % maxPacket(kReportEndpoint) != 0);
    return true;
  }

  uint64_t tick(uint64_t nowMs) override {
    if (!intervalMs_) return 0;
    if (nextReportMs_ == 0) nextReportMs_ = nowMs + intervalMs_;
    if (nowMs >= nextReportMs_) {
      // Alternately a key press ('a' .. 'z') and its release.
      std::vector<uint8_t> report(8, 0);
      if (pressed_ == 0) report[2] = static_cast<uint8_t>(0x04 + (key_++ % 26));
      pressed_ ^= 1;
      inputReport(report);
      nextReportMs_ = nowMs + intervalMs_;
    }
    return nextReportMs_;
  }

 protected:
  int classControl(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index, uint8_t* data,
                   uint16_t length) override {
    if (index != 0) return -EPIPE;
    if (requestType == 0x81 && request == 6) {  // GET_DESCRIPTOR of the interface
      std::vector<uint8_t> bytes;
      if ((value >> 8) == 0x22)
        bytes.assign(kReportDescriptor, kReportDescriptor + sizeof kReportDescriptor);
      else if ((value >> 8) == 0x21)
        bytes = hidDescriptor();
      else
        return -EPIPE;
      size_t n = bytes.size() < length ? bytes.size() : length;
      std::memcpy(data, bytes.data(), n);
      return static_cast<int>(n);
    }
    if (requestType == 0xa1 && request == 1) {  // GET_REPORT
      size_t n = length < 8 ? length : 8;
      std::memset(data, 0, n);
      return static_cast<int>(n);
    }
    if (requestType == 0xa1 && (request == 2 || request == 3)) {  // GET_IDLE, GET_PROTOCOL
      if (length < 1) return -EPIPE;
      data[0] = request == 2 ? idle_ : protocol_;
      return 1;
    }
    if (requestType == 0x21 && request == 9) return length;  // SET_REPORT (the LEDs)
    if (requestType == 0x21 && request == 0x0a) {            // SET_IDLE
      idle_ = static_cast<uint8_t>(value >> 8);
      return 0;
    }
    if (requestType == 0x21 && request == 0x0b) {  // SET_PROTOCOL
      protocol_ = static_cast<uint8_t>(value & 1);
      return 0;
    }
    return -EPIPE;
  }

  void onReset() override {
    idle_ = 0;
    protocol_ = 1;
  }

 private:
  unsigned intervalMs_;
  uint64_t nextReportMs_ = 0;
  unsigned key_ = 0;
  int pressed_ = 0;
  uint8_t idle_ = 0;
  uint8_t protocol_ = 1;
};

}  // namespace

SimUsbDescriptors simUsbHidDescriptors() {
  SimUsbDescriptors d;
  d.vendor = 0x1209;
  d.product = 0x0001;
  d.speed = SimUsbSpeed::Full;
  d.maxPacket0 = 8;
  d.iManufacturer = d.addString("Simulated Devices");
  d.iProduct = d.addString("Sim Keyboard");
  d.iSerial = d.addString("HID0001");
  SimUsbConfiguration c;
  c.attributes = 0xa0;
  SimUsbInterface i;
  i.interfaceClass = 3;
  i.subClass = 1;
  i.protocol = 1;
  i.classDescriptor = hidDescriptor();
  SimUsbEndpoint e;
  e.address = kReportEndpoint;
  e.attributes = 3;
  e.maxPacket = 8;
  e.interval = 10;
  i.endpoints.push_back(e);
  c.interfaces.push_back(i);
  d.configurations.push_back(c);
  return d;
}

std::unique_ptr<SimUsbDevice> makeSimUsbHid(SimUsbDescriptors d, const SimUsbOptions& options, std::string* error) {
  bool ok = true;
  long interval = options.number("interval", 0, &ok);
  if (!ok || interval < 0 || interval > 3600000) {
    *error = "bad interval";
    return nullptr;
  }
  return std::make_unique<SimUsbHid>(std::move(d), static_cast<unsigned>(interval));
}
