// The simulated host's devices: plugging, unplugging, faults, and the text
// commands of the device file and the control socket.
#include "platform/simusb/usbhost_sim.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/simusb/simusbkinds.h"
#include "platform/simusb/simusbstate.h"
#include "platform/simusb/simusbsysfs.h"
#include "runtime/file/paths.h"

namespace {

constexpr int kMaxDepth = 6;  // ports in a devpath: the root port and five hubs

// "<bus>-<port>[.<port>...]" into the bus and the port numbers.
bool parseDevpath(const std::string& devpath, int* bus, std::vector<int>* ports) {
  size_t dash = devpath.find('-');
  if (dash == std::string::npos || dash == 0) return false;
  char* end = nullptr;
  long b = std::strtol(devpath.c_str(), &end, 10);
  if (end != devpath.c_str() + dash || b < 1 || b > 127) return false;
  ports->clear();
  std::string rest = devpath.substr(dash + 1);
  std::istringstream in(rest);
  std::string part;
  while (std::getline(in, part, '.')) {
    if (part.empty() || part.size() > 2 || part.find_first_not_of("0123456789") != std::string::npos) return false;
    int p = std::atoi(part.c_str());
    if (p < 1 || p > 15) return false;
    ports->push_back(p);
  }
  if (ports->empty() || static_cast<int>(ports->size()) > kMaxDepth || rest.back() == '.') return false;
  *bus = static_cast<int>(b);
  return true;
}

bool parseNumber(const std::string& text, long* out) {
  if (text.empty()) return false;
  char* end = nullptr;
  long v = std::strtol(text.c_str(), &end, 0);
  if (*end) return false;
  *out = v;
  return true;
}

// "ok", "ENODEV", "19" ... into a hard reset result.
bool parseResetResult(const std::string& text, int* out) {
  static const struct {
    const char* name;
    int value;
  } kNames[] = {{"ok", 0},        {"ENOTTY", ENOTTY}, {"ENODEV", ENODEV}, {"EIO", EIO},
                {"EPIPE", EPIPE}, {"EBUSY", EBUSY},   {"ETIMEDOUT", ETIMEDOUT}};
  for (const auto& n : kNames) {
    if (text == n.name) {
      *out = -n.value;
      return true;
    }
  }
  long v;
  if (!parseNumber(text, &v) || v < 0 || v > 4095) return false;
  *out = static_cast<int>(-v);
  return true;
}

bool isBelow(const std::string& devpath, const std::string& parent) {
  return devpath.size() > parent.size() + 1 && devpath.compare(0, parent.size(), parent) == 0 &&
         devpath[parent.size()] == '.';
}

}  // namespace

SimUsbHost::SimUsbHost() : state_(std::make_unique<State>(this)) {
  resetSimUsbSysfs(state_->sysfsDir);
  state_->wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  state_->worker = std::thread([this] { state_->runWorker(); });
}

SimUsbHost::~SimUsbHost() {
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->stopping = true;
    state_->wake();
  }
  state_->worker.join();
  std::lock_guard<std::mutex> lock(state_->mutex);
  for (auto& entry : state_->devices) {
    state_->markGone(*entry.second);
    removeSimUsbDevice(state_->sysfsDir, entry.first);
  }
  for (int bus : state_->rootHubs) removeSimUsbRootHub(state_->sysfsDir, bus);
  state_->handles.clear();
  state_->devices.clear();
  if (state_->listenFd >= 0) {
    ::close(state_->listenFd);
    ::unlink(state_->controlPath.c_str());
  }
  if (state_->wakeFd >= 0) ::close(state_->wakeFd);
}

int SimUsbHost::plug(const std::string& devpath, const std::string& kindAndOptions) {
  std::string answer = command("plug " + devpath + " " + kindAndOptions);
  return answer == "ok\n" ? 1 : 0;
}

int SimUsbHost::unplug(const std::string& devpath) { return command("unplug " + devpath) == "ok\n" ? 1 : 0; }

int SimUsbHost::fault(const std::string& devpath, const std::string& fault) {
  return command("fault " + devpath + " " + fault) == "ok\n" ? 1 : 0;
}

int SimUsbHost::hidReport(const std::string& devpath, const std::vector<uint8_t>& report) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  auto it = state_->devices.find(devpath);
  if (it == state_->devices.end() || it->second->gone) return 0;
  if (!it->second->device->inputReport(report)) return 0;
  state_->pump(*it->second);
  return 1;
}

bool SimUsbHost::deviceNumbers(const std::string& devpath, int* busnum, int* devnum) const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  auto it = state_->devices.find(devpath);
  if (it == state_->devices.end()) return false;
  if (busnum) *busnum = it->second->busnum;
  if (devnum) *devnum = it->second->devnum;
  return true;
}

std::string SimUsbHost::storageFile(const std::string& devpath) const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  auto it = state_->devices.find(devpath);
  return it == state_->devices.end() ? std::string() : it->second->device->backingFile();
}

int SimUsbHost::openHandleCount() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return static_cast<int>(state_->handles.size());
}

int SimUsbHost::loadDeviceFile(const char* fixedPath) {
  std::ifstream in(mapPath(fixedPath));
  if (!in) return -1;
  int plugged = 0;
  std::string line;
  while (std::getline(in, line)) {
    size_t start = line.find_first_not_of(" \t\r");
    if (start == std::string::npos || line[start] == '#') continue;
    std::string answer = command("plug " + line.substr(start));
    if (answer == "ok\n")
      ++plugged;
    else
      std::fprintf(stderr, "simusb: %s: %s", line.c_str(), answer.c_str());
  }
  return plugged;
}

namespace {

// The body of one command, with the host's mutex held; "" for success,
// else the reason.
struct CommandContext {
  SimUsbHost::State& state;
  std::string list;  // data lines of "list"
};

std::string plugDevice(CommandContext& c, const std::string& devpath, const std::string& kind,
                       const std::string& optionText) {
  SimUsbHost::State& s = c.state;
  int bus = 0;
  std::vector<int> ports;
  if (!parseDevpath(devpath, &bus, &ports)) return "bad devpath";
  if (s.devices.count(devpath)) return "already plugged";
  if (ports.size() > 1) {
    const std::string parent = devpath.substr(0, devpath.rfind('.'));
    auto it = s.devices.find(parent);
    if (it == s.devices.end() || it->second->gone) return "no hub at " + parent;
    if (it->second->device->hubPorts() < ports.back()) return "no such port on " + parent;
  }
  SimUsbOptions options;
  std::string error;
  if (!options.parse(optionText, &error)) return error;
  std::unique_ptr<SimUsbDevice> device = makeSimUsbDevice(kind, devpath, options, &error);
  if (!device) return error;
  // The kernel hands out device numbers round-robin from 2 (1 is the root
  // hub), skipping numbers in use.
  std::set<int> used;
  for (auto& entry : s.devices)
    if (entry.second->busnum == bus) used.insert(entry.second->devnum);
  if (used.size() >= 126) return "bus full";
  int devnum = s.lastDevnum.count(bus) ? s.lastDevnum[bus] : 1;
  do {
    devnum = devnum >= 127 ? 2 : devnum + 1;
  } while (used.count(devnum));
  s.lastDevnum[bus] = devnum;
  if (s.rootHubs.insert(bus).second) writeSimUsbRootHub(s.sysfsDir, bus);
  auto slot = std::make_shared<SimUsbSlot>();
  slot->devpath = devpath;
  slot->kind = kind;
  slot->busnum = bus;
  slot->devnum = devnum;
  slot->device = std::move(device);
  writeSimUsbDevice(s.sysfsDir, devpath, bus, devnum, *slot->device);
  s.devices[devpath] = slot;
  return "";
}

// The device and everything behind it, deepest first.
std::vector<std::string> subtree(SimUsbHost::State& s, const std::string& devpath) {
  std::vector<std::string> out;
  for (auto& entry : s.devices)
    if (entry.first == devpath || isBelow(entry.first, devpath)) out.push_back(entry.first);
  std::sort(out.begin(), out.end(), [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
  return out;
}

std::string unplugDevice(CommandContext& c, const std::string& devpath) {
  SimUsbHost::State& s = c.state;
  if (!s.devices.count(devpath)) return "not plugged";
  for (const std::string& path : subtree(s, devpath)) {
    s.markGone(*s.devices[path]);
    removeSimUsbDevice(s.sysfsDir, path);
    s.devices.erase(path);
  }
  return "";
}

std::string faultDevice(CommandContext& c, const std::string& devpath, std::istringstream& words) {
  SimUsbHost::State& s = c.state;
  auto it = s.devices.find(devpath);
  if (it == s.devices.end()) return "not plugged";
  SimUsbSlot& slot = *it->second;
  SimUsbDevice& device = *slot.device;
  std::string name, a, b;
  words >> name >> a >> b;
  long x = 0, y = 0;
  const bool hasA = parseNumber(a, &x);
  const bool hasB = parseNumber(b, &y);
  bool descriptorsChanged = false;
  if (name == "stall" || name == "timeout" || name == "short" || name == "nomem" || name == "reorder") {
    if (!hasA || x < 0 || x > 0xff || (x & 0x70)) return "bad endpoint";
    const uint8_t endpoint = static_cast<uint8_t>(x);
    if ((endpoint & 0x7f) != 0 && !device.findEndpoint(endpoint, nullptr)) return "no such endpoint";
    if (name == "stall") {
      device.setHalted(endpoint, true);
    } else if (name == "timeout") {
      device.faults().timeout.insert(endpoint);
    } else if (name == "reorder") {
      device.faults().reapNewestFirst.insert(endpoint);
    } else if (name == "nomem") {
      if (hasB && y < 0) return "bad nomem fault";
      device.faults().refuseSubmission[endpoint] = hasB ? static_cast<unsigned>(y) : 0;
    } else {
      if (!hasB || y < 0 || !(endpoint & 0x80)) return "bad short fault";
      device.faults().shortNext[endpoint] = static_cast<size_t>(y);
    }
  } else if (name == "nomap") {
    device.faults().refuseMapping = true;
  } else if (name == "gone") {
    if (slot.gone) return "already gone";
    for (const std::string& path : subtree(s, devpath)) s.markGone(*s.devices[path]);
    return "";
  } else if (name == "blength") {
    if (!hasA || !device.editDescriptorLength(hasB ? static_cast<int>(y) : 1, static_cast<int>(x)))
      return "bad blength fault";
    descriptorsChanged = true;
  } else if (name == "totallength") {
    if (!hasA || !device.editTotalLength(static_cast<int>(x))) return "bad totallength fault";
    descriptorsChanged = true;
  } else if (name == "numinterfaces") {
    if (!hasA || !device.editInterfaceCount(static_cast<int>(x))) return "bad numinterfaces fault";
    descriptorsChanged = true;
  } else if (name == "numconfigs") {
    if (!hasA || !device.editConfigurationCount(static_cast<int>(x))) return "bad numconfigs fault";
    descriptorsChanged = true;
  } else if (name == "hardreset") {
    int result;
    if (!parseResetResult(a, &result)) return "bad hardreset fault";
    device.faults().hardResetResult = result;
  } else if (name == "clear") {
    device.clearFaults();
    descriptorsChanged = true;
  } else {
    return "unknown fault " + name;
  }
  if (descriptorsChanged && !slot.gone) writeSimUsbDevice(s.sysfsDir, devpath, slot.busnum, slot.devnum, device);
  s.pump(slot);
  return "";
}

std::string reportDevice(CommandContext& c, const std::string& devpath, const std::string& hex) {
  auto it = c.state.devices.find(devpath);
  if (it == c.state.devices.end() || it->second->gone) return "not plugged";
  if (hex.size() % 2) return "bad report";
  std::vector<uint8_t> report;
  for (size_t i = 0; i < hex.size(); i += 2) {
    char byte[3] = {hex[i], hex[i + 1], 0};
    char* end = nullptr;
    long v = std::strtol(byte, &end, 16);
    if (*end) return "bad report";
    report.push_back(static_cast<uint8_t>(v));
  }
  if (!it->second->device->inputReport(report)) return "not a hid device";
  c.state.pump(*it->second);
  return "";
}

std::string listDevices(CommandContext& c) {
  for (auto& entry : c.state.devices) {
    const SimUsbSlot& slot = *entry.second;
    c.list += slot.devpath + " " + slot.kind + " " + std::to_string(slot.busnum) + " " +
              std::to_string(slot.devnum) + (slot.gone ? " gone" : "") + "\n";
  }
  return "";
}

}  // namespace

std::string SimUsbHost::command(const std::string& line) {
  std::istringstream words(line);
  std::string verb, devpath;
  words >> verb >> devpath;
  std::lock_guard<std::mutex> lock(state_->mutex);
  CommandContext c{*state_, std::string()};
  std::string error;
  if (verb == "plug") {
    std::string kind, rest;
    words >> kind;
    std::getline(words, rest);
    error = kind.empty() ? "missing kind" : plugDevice(c, devpath, kind, rest);
  } else if (verb == "unplug") {
    error = unplugDevice(c, devpath);
  } else if (verb == "fault") {
    error = faultDevice(c, devpath, words);
  } else if (verb == "report") {
    std::string hex;
    words >> hex;
    error = reportDevice(c, devpath, hex);
  } else if (verb == "list") {
    error = listDevices(c);
  } else {
    error = verb.empty() ? "empty command" : "unknown command " + verb;
  }
  if (!error.empty()) return "error " + error + "\n";
  return c.list + "ok\n";
}
