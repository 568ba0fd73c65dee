#include "platform/simusb/simusbkinds.h"

#include <cctype>
#include <cstdlib>
#include <sstream>

#include "platform/simusb/simusbdevice.h"

namespace {

std::string blanksFromUnderscores(std::string text) {
  for (char& c : text)
    if (c == '_') c = ' ';
  return text;
}

bool parseLong(const std::string& text, int base, long* out) {
  if (text.empty()) return false;
  char* end = nullptr;
  long v = std::strtol(text.c_str(), &end, base);
  if (*end) return false;
  *out = v;
  return true;
}

// The options every kind takes.
bool applyCommonOptions(SimUsbDescriptors& d, const SimUsbOptions& o, std::string* error) {
  bool ok = true;
  d.vendor = static_cast<uint16_t>(o.hexNumber("vid", d.vendor, &ok));
  d.product = static_cast<uint16_t>(o.hexNumber("pid", d.product, &ok));
  d.bcdDevice = static_cast<uint16_t>(o.hexNumber("bcd", d.bcdDevice, &ok));
  d.deviceClass = static_cast<uint8_t>(o.hexNumber("class", d.deviceClass, &ok));
  if (!ok) {
    *error = "bad number";
    return false;
  }
  if (o.has("speed")) {
    std::string s = o.text("speed", "");
    if (s == "low")
      d.speed = SimUsbSpeed::Low;
    else if (s == "full")
      d.speed = SimUsbSpeed::Full;
    else if (s == "high")
      d.speed = SimUsbSpeed::High;
    else if (s == "super")
      d.speed = SimUsbSpeed::Super;
    else {
      *error = "bad speed";
      return false;
    }
  }
  d.bcdUsb = d.speed == SimUsbSpeed::Super ? 0x0300 : 0x0200;
  if (d.speed == SimUsbSpeed::Super) d.maxPacket0 = 9;  // 2^9 bytes
  const uint16_t bulkPacket = d.speed == SimUsbSpeed::Super ? 1024 : d.speed == SimUsbSpeed::High ? 512 : 64;
  for (auto& c : d.configurations)
    for (auto& i : c.interfaces)
      for (auto& e : i.endpoints)
        if ((e.attributes & 3) == 2) e.maxPacket = bulkPacket;

  struct Text {
    const char* key;
    uint8_t* index;
  } texts[] = {{"manufacturer", &d.iManufacturer}, {"product", &d.iProduct}, {"serial", &d.iSerial}};
  for (const Text& t : texts) {
    if (!o.has(t.key)) continue;
    std::string value = blanksFromUnderscores(o.text(t.key, ""));
    if (*t.index)
      d.strings[*t.index - 1] = value;
    else
      *t.index = d.addString(value);
  }

  long configs = o.number("configs", 1, &ok);
  if (!ok || configs < 1 || configs > 255 || d.configurations.empty()) {
    *error = "bad configs";
    return false;
  }
  SimUsbConfiguration first = d.configurations.front();
  d.configurations.resize(1);
  for (long v = 2; v <= configs; ++v) {
    first.value = static_cast<uint8_t>(v);
    d.configurations.push_back(first);
  }
  return true;
}

}  // namespace

bool SimUsbOptions::parse(const std::string& text, std::string* error) {
  std::istringstream in(text);
  std::string word;
  while (in >> word) {
    size_t eq = word.find('=');
    if (eq == std::string::npos) {
      long v;
      if (!parseLong(word, 10, &v)) {
        *error = "bad option " + word;
        return false;
      }
      values_["ports"] = word;
    } else if (eq == 0) {
      *error = "bad option " + word;
      return false;
    } else {
      values_[word.substr(0, eq)] = word.substr(eq + 1);
    }
  }
  return true;
}

std::string SimUsbOptions::text(const char* key, const std::string& fallback) const {
  auto it = values_.find(key);
  return it == values_.end() ? fallback : it->second;
}

long SimUsbOptions::number(const char* key, long fallback, bool* ok) const {
  auto it = values_.find(key);
  if (it == values_.end()) return fallback;
  long v = fallback;
  if (!parseLong(it->second, 0, &v)) *ok = false;
  return v;
}

long SimUsbOptions::hexNumber(const char* key, long fallback, bool* ok) const {
  auto it = values_.find(key);
  if (it == values_.end()) return fallback;
  long v = fallback;
  if (!parseLong(it->second, 16, &v) || v < 0 || v > 0xffff) *ok = false;
  return v;
}

long long SimUsbOptions::size(const char* key, long long fallback, bool* ok) const {
  auto it = values_.find(key);
  if (it == values_.end()) return fallback;
  std::string t = it->second;
  long long unit = 1;
  if (!t.empty()) {
    char last = static_cast<char>(std::toupper(static_cast<unsigned char>(t.back())));
    unit = last == 'K' ? 1LL << 10 : last == 'M' ? 1LL << 20 : last == 'G' ? 1LL << 30 : 1;
    if (unit != 1) t.pop_back();
  }
  long v = 0;
  if (!parseLong(t, 10, &v) || v < 0) {
    *ok = false;
    return fallback;
  }
  return v * unit;
}

std::unique_ptr<SimUsbDevice> makeSimUsbDevice(const std::string& kind, const std::string& devpath,
                                               const SimUsbOptions& options, std::string* error) {
  SimUsbDescriptors d;
  if (kind == "hid")
    d = simUsbHidDescriptors();
  else if (kind == "loopback")
    d = simUsbLoopbackDescriptors();
  else if (kind == "storage")
    d = simUsbStorageDescriptors();
  else if (kind == "hub")
    d = simUsbHubDescriptors();
  else {
    *error = "unknown kind " + kind;
    return nullptr;
  }
  if (!applyCommonOptions(d, options, error)) return nullptr;
  bool ok = true;
  long delay = options.number("delay", 0, &ok);
  if (!ok || delay < 0 || delay > 600000) {
    *error = "bad delay";
    return nullptr;
  }
  std::unique_ptr<SimUsbDevice> device;
  if (kind == "hid")
    device = makeSimUsbHid(std::move(d), options, error);
  else if (kind == "loopback")
    device = makeSimUsbLoopback(std::move(d), options, error);
  else if (kind == "storage")
    device = makeSimUsbStorage(std::move(d), devpath, options, error);
  else
    device = makeSimUsbHub(std::move(d), options, error);
  if (device) device->delayMs = static_cast<unsigned>(delay);
  return device;
}
