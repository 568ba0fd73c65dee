#include "platform/simusb/simusbdevice.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace {

constexpr size_t kKernelMaxConfigurations = 8;

int copyOut(const std::vector<uint8_t>& bytes, uint8_t* data, uint16_t length) {
  size_t n = std::min<size_t>(bytes.size(), length);
  if (n && data) std::memcpy(data, bytes.data(), n);
  return static_cast<int>(n);
}

}  // namespace

SimUsbDevice::SimUsbDevice(std::string kind, SimUsbDescriptors descriptors)
    : kind_(std::move(kind)), descriptors_(std::move(descriptors)) {
  encode();
  // The kernel selects the first configuration when the device arrives.
  if (!descriptors_.configurations.empty()) activeValue_ = descriptors_.configurations.front().value;
}

SimUsbDevice::~SimUsbDevice() = default;

void SimUsbDevice::encode() {
  device_ = encodeDeviceDescriptor(descriptors_);
  configs_.clear();
  for (const auto& c : descriptors_.configurations) configs_.push_back(encodeConfiguration(c));
  nodeConfigurationCount_ = -1;
}

std::vector<uint8_t> SimUsbDevice::nodeImage() const {
  std::vector<uint8_t> out = device_;
  size_t count = std::min(configs_.size(), kKernelMaxConfigurations);
  if (out.size() > 17) {
    if (nodeConfigurationCount_ >= 0)
      out[17] = static_cast<uint8_t>(nodeConfigurationCount_);
    else if (out[17] > kKernelMaxConfigurations)
      out[17] = static_cast<uint8_t>(kKernelMaxConfigurations);
  }
  for (size_t i = 0; i < count; ++i) out.insert(out.end(), configs_[i].begin(), configs_[i].end());
  return out;
}

bool SimUsbDevice::editDescriptorLength(int nth, int value) {
  if (configs_.empty() || nth < 1 || value < 0 || value > 255) return false;
  // Walk the unedited layout: the edit itself must not move the target.
  std::vector<uint8_t> pristine = encodeConfiguration(descriptors_.configurations.front());
  size_t pos = pristine.empty() ? 0 : pristine[0];
  for (int k = 1; k < nth && pos < pristine.size(); ++k) pos += pristine[pos] ? pristine[pos] : 1;
  if (pos >= configs_[0].size()) return false;
  configs_[0][pos] = static_cast<uint8_t>(value);
  return true;
}

bool SimUsbDevice::editTotalLength(int value) {
  if (configs_.empty() || configs_[0].size() < 4 || value < 0 || value > 0xffff) return false;
  configs_[0][2] = static_cast<uint8_t>(value & 0xff);
  configs_[0][3] = static_cast<uint8_t>(value >> 8);
  return true;
}

bool SimUsbDevice::editInterfaceCount(int value) {
  if (configs_.empty() || configs_[0].size() < 5 || value < 0 || value > 255) return false;
  configs_[0][4] = static_cast<uint8_t>(value);
  return true;
}

bool SimUsbDevice::editConfigurationCount(int value) {
  if (device_.size() < 18 || value < 0 || value > 255) return false;
  device_[17] = static_cast<uint8_t>(value);
  nodeConfigurationCount_ = value;
  return true;
}

void SimUsbDevice::restoreDescriptors() { encode(); }

const SimUsbConfiguration* SimUsbDevice::activeConfiguration() const {
  if (activeValue_ == 0) return nullptr;
  for (const auto& c : descriptors_.configurations)
    if (c.value == activeValue_) return &c;
  return nullptr;
}

bool SimUsbDevice::setActiveConfiguration(int value) {
  if (value <= 0) {
    activeValue_ = 0;
  } else {
    bool found = false;
    for (const auto& c : descriptors_.configurations) found = found || c.value == value;
    if (!found) return false;
    activeValue_ = value;
  }
  alternates_.clear();
  halted_.clear();
  return true;
}

bool SimUsbDevice::hasInterface(unsigned number) const {
  const SimUsbConfiguration* c = activeConfiguration();
  if (!c) return false;
  for (const auto& i : c->interfaces)
    if (i.number == number) return true;
  return false;
}

bool SimUsbDevice::setAlternate(unsigned interface, unsigned alternate) {
  const SimUsbConfiguration* c = activeConfiguration();
  if (!c) return false;
  for (const auto& i : c->interfaces) {
    if (i.number == interface && i.alternate == alternate) {
      alternates_[interface] = alternate;
      return true;
    }
  }
  return false;
}

const SimUsbEndpoint* SimUsbDevice::findEndpoint(uint8_t address, int* interfaceNumber) const {
  const SimUsbConfiguration* c = activeConfiguration();
  if (!c) return nullptr;
  for (const auto& i : c->interfaces) {
    auto alt = alternates_.find(i.number);
    if (i.alternate != (alt == alternates_.end() ? 0u : alt->second)) continue;
    for (const auto& e : i.endpoints) {
      if (e.address == address) {
        if (interfaceNumber) *interfaceNumber = i.number;
        return &e;
      }
    }
  }
  return nullptr;
}

uint16_t SimUsbDevice::maxPacket(uint8_t endpoint) const {
  if ((endpoint & 0x7f) == 0) return descriptors_.maxPacket0;
  const SimUsbEndpoint* e = findEndpoint(endpoint, nullptr);
  return e && e->maxPacket ? e->maxPacket : 64;
}

void SimUsbDevice::setHalted(uint8_t endpoint, bool on) {
  if (on)
    halted_.insert(endpoint);
  else
    halted_.erase(endpoint);
}

void SimUsbDevice::clearFaults() {
  faults_ = SimUsbFaults();
  halted_.clear();
  restoreDescriptors();
}

void SimUsbDevice::pushIn(uint8_t endpoint, std::vector<uint8_t> data, bool ends) {
  SimUsbSegment s;
  s.data = std::move(data);
  s.ends = ends;
  in_[endpoint].push_back(std::move(s));
}

void SimUsbDevice::popIn(uint8_t endpoint) {
  // Enough for what the loopback device holds in 64 KiB transfers; large
  // buffers (a storage read of many blocks) are not kept.
  constexpr size_t kKeptBuffers = 80;
  constexpr size_t kKeptCapacity = 1u << 20;
  auto& queue = in_[endpoint];
  if (queue.empty()) return;
  std::vector<uint8_t>& data = queue.front().data;
  if (spares_.size() < kKeptBuffers && data.capacity() && data.capacity() <= kKeptCapacity) {
    data.clear();
    spares_.push_back(std::move(data));
  }
  queue.pop_front();
}

std::vector<uint8_t> SimUsbDevice::spareBuffer() {
  if (spares_.empty()) return std::vector<uint8_t>();
  std::vector<uint8_t> data = std::move(spares_.back());
  spares_.pop_back();
  return data;
}

bool SimUsbDevice::acceptOut(uint8_t, const uint8_t*, size_t, bool) { return true; }

void SimUsbDevice::busReset() {
  halted_.clear();
  alternates_.clear();
  in_.clear();
  onReset();
}

uint64_t SimUsbDevice::tick(uint64_t) { return 0; }
bool SimUsbDevice::inputReport(const std::vector<uint8_t>&) { return false; }
std::string SimUsbDevice::backingFile() const { return std::string(); }
int SimUsbDevice::hubPorts() const { return 0; }
void SimUsbDevice::onReset() {}

int SimUsbDevice::classControl(uint8_t, uint8_t, uint16_t, uint16_t, uint8_t*, uint16_t) { return -EPIPE; }

int SimUsbDevice::getDescriptor(uint16_t value, uint16_t index, uint8_t* data, uint16_t length) {
  unsigned type = value >> 8;
  unsigned number = value & 0xff;
  switch (type) {
    case 1:
      return copyOut(device_, data, length);
    case 2:
      if (number >= configs_.size()) return -EPIPE;
      return copyOut(configs_[number], data, length);
    case 3:
      if (number == 0) return copyOut(encodeLanguageTable(), data, length);
      if (index != kSimUsbLanguage || number > descriptors_.strings.size()) return -EPIPE;
      return copyOut(encodeStringDescriptor(descriptors_.strings[number - 1]), data, length);
    default:
      return -EPIPE;
  }
}

int SimUsbDevice::control(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index, uint8_t* data,
                          uint16_t length) {
  // A request without data may come without a buffer; the devices below
  // always get a valid one.
  uint8_t none = 0;
  if (data == nullptr) {
    data = &none;
    length = 0;
  }
  const bool in = (requestType & 0x80) != 0;
  if ((requestType & 0x60) != 0) return classControl(requestType, request, value, index, data, length);
  const unsigned recipient = requestType & 0x1f;
  switch (request) {
    case 0:  // GET_STATUS
      if (!in || length < 2) return -EPIPE;
      data[0] = recipient == 2 && halted(static_cast<uint8_t>(index)) ? 1 : 0;
      data[1] = 0;
      return 2;
    case 1:  // CLEAR_FEATURE
    case 3:  // SET_FEATURE
      if (recipient == 2 && value == 0) {
        if ((index & 0x7f) != 0 && !findEndpoint(static_cast<uint8_t>(index), nullptr)) return -EPIPE;
        setHalted(static_cast<uint8_t>(index), request == 3);
      }
      return 0;
    case 6:  // GET_DESCRIPTOR
      if (!in) return -EPIPE;
      // Class descriptors of an interface (HID report descriptor, ...).
      if (recipient != 0) return classControl(requestType, request, value, index, data, length);
      return getDescriptor(value, index, data, length);
    case 8:  // GET_CONFIGURATION
      if (!in || length < 1) return -EPIPE;
      data[0] = static_cast<uint8_t>(activeValue_);
      return 1;
    case 9:  // SET_CONFIGURATION
      return setActiveConfiguration(value) ? 0 : -EPIPE;
    case 10: {  // GET_INTERFACE
      if (!in || length < 1 || !hasInterface(index)) return -EPIPE;
      auto alt = alternates_.find(index);
      data[0] = static_cast<uint8_t>(alt == alternates_.end() ? 0 : alt->second);
      return 1;
    }
    case 11:  // SET_INTERFACE
      return setAlternate(index, value) ? 0 : -EPIPE;
    default:
      return -EPIPE;
  }
}
