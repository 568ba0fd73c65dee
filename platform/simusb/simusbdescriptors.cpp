#include "platform/simusb/simusbdescriptors.h"

#include <set>

namespace {

void put16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v & 0xff));
  out.push_back(static_cast<uint8_t>(v >> 8));
}

// Decodes UTF-8 into code points; malformed bytes become '?'.
std::vector<uint32_t> decodeUtf8(const std::string& text) {
  std::vector<uint32_t> out;
  size_t i = 0;
  while (i < text.size()) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    int extra = c < 0x80 ? 0 : (c & 0xe0) == 0xc0 ? 1 : (c & 0xf0) == 0xe0 ? 2 : (c & 0xf8) == 0xf0 ? 3 : -1;
    if (extra < 0 || i + static_cast<size_t>(extra) >= text.size()) {
      out.push_back('?');
      ++i;
      continue;
    }
    uint32_t cp = extra == 0 ? c : (c & (0x7fu >> (extra + 1)));
    bool ok = true;
    for (int k = 1; k <= extra && ok; ++k) {
      unsigned char cc = static_cast<unsigned char>(text[i + static_cast<size_t>(k)]);
      ok = (cc & 0xc0) == 0x80;
      cp = (cp << 6) | (cc & 0x3f);
    }
    out.push_back(ok ? cp : '?');
    i += ok ? static_cast<size_t>(extra) + 1 : 1;
  }
  return out;
}

}  // namespace

int SimUsbConfiguration::interfaceCount() const {
  std::set<uint8_t> numbers;
  for (const auto& i : interfaces) numbers.insert(i.number);
  return static_cast<int>(numbers.size());
}

uint8_t SimUsbDescriptors::addString(const std::string& text) {
  strings.push_back(text);
  return static_cast<uint8_t>(strings.size());
}

std::vector<uint8_t> encodeDeviceDescriptor(const SimUsbDescriptors& d) {
  std::vector<uint8_t> out{18, 1};
  put16(out, d.bcdUsb);
  out.push_back(d.deviceClass);
  out.push_back(d.subClass);
  out.push_back(d.protocol);
  out.push_back(d.maxPacket0);
  put16(out, d.vendor);
  put16(out, d.product);
  put16(out, d.bcdDevice);
  out.push_back(d.iManufacturer);
  out.push_back(d.iProduct);
  out.push_back(d.iSerial);
  out.push_back(static_cast<uint8_t>(d.configurations.size() > 255 ? 255 : d.configurations.size()));
  return out;
}

std::vector<uint8_t> encodeConfiguration(const SimUsbConfiguration& c) {
  std::vector<uint8_t> out{9, 2, 0, 0, static_cast<uint8_t>(c.interfaceCount()), c.value, c.stringIndex,
                           c.attributes, c.maxPower};
  for (const auto& i : c.interfaces) {
    out.insert(out.end(), {9, 4, i.number, i.alternate, static_cast<uint8_t>(i.endpoints.size()), i.interfaceClass,
                           i.subClass, i.protocol, i.stringIndex});
    out.insert(out.end(), i.classDescriptor.begin(), i.classDescriptor.end());
    for (const auto& e : i.endpoints) {
      out.insert(out.end(), {7, 5, e.address, e.attributes});
      put16(out, e.maxPacket);
      out.push_back(e.interval);
    }
  }
  out[2] = static_cast<uint8_t>(out.size() & 0xff);
  out[3] = static_cast<uint8_t>(out.size() >> 8);
  return out;
}

std::vector<uint8_t> encodeStringDescriptor(const std::string& text) {
  std::vector<uint8_t> out{0, 3};
  for (uint32_t cp : decodeUtf8(text)) {
    if (out.size() >= 254) break;
    put16(out, static_cast<uint16_t>(cp > 0xffff ? '?' : cp));
  }
  out[0] = static_cast<uint8_t>(out.size());
  return out;
}

std::vector<uint8_t> encodeLanguageTable() {
  return {4, 3, static_cast<uint8_t>(kSimUsbLanguage & 0xff), static_cast<uint8_t>(kSimUsbLanguage >> 8)};
}
