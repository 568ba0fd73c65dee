// The URB engine of the simulated host: endpoint queues served by the
// devices, completion, cancellation, hang-up and reset.
#include <linux/usbdevice_fs.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "platform/simusb/simusbstate.h"

uint64_t SimUsbHost::State::nowMs() {
  using namespace std::chrono;
  return static_cast<uint64_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

void SimUsbHost::State::wake() {
  if (wakeFd >= 0) {
    uint64_t one = 1;
    (void)!::write(wakeFd, &one, sizeof one);
  }
}

std::unique_ptr<SimUsbUrb> SimUsbHandle::takeUrb() {
  if (spareUrbs.empty()) return std::make_unique<SimUsbUrb>();
  std::unique_ptr<SimUsbUrb> urb = std::move(spareUrbs.back());
  spareUrbs.pop_back();
  *urb = SimUsbUrb();
  return urb;
}

void SimUsbHandle::keepUrb(std::unique_ptr<SimUsbUrb> urb) {
  constexpr size_t kKeptUrbs = 64;  // more than a connection keeps in flight
  if (spareUrbs.size() < kKeptUrbs) spareUrbs.push_back(std::move(urb));
}

int SimUsbHost::State::begin(int fd, SimUsbHandle** handle, bool allowGone) {
  auto it = handles.find(fd);
  if (it == handles.end()) return -EBADF;
  SimUsbHandle& h = *it->second;
  if (!h.writeAllowed) return -EPERM;
  if (!allowGone && (!h.slot || h.slot->gone)) return -ENODEV;
  *handle = &h;
  return 0;
}

std::shared_ptr<SimUsbSlot> SimUsbHost::State::findSlot(int busnum, int devnum) {
  for (auto& entry : devices)
    if (entry.second->busnum == busnum && entry.second->devnum == devnum) return entry.second;
  return nullptr;
}

int SimUsbHost::State::interfaceOfEndpoint(SimUsbSlot& slot, unsigned endpoint) {
  if (endpoint & ~0x8fu) return -EINVAL;
  if (!slot.device->activeConfiguration()) return -ESRCH;
  int interface = -1;
  if (!slot.device->findEndpoint(static_cast<uint8_t>(endpoint), &interface)) return -ENOENT;
  return interface;
}

int SimUsbHost::State::claimFor(SimUsbSlot& slot, int fd, unsigned interface) {
  if (interface >= 32) return -EINVAL;
  auto it = slot.claims.find(interface);
  if (it != slot.claims.end()) return it->second == fd ? 0 : -EBUSY;
  if (!slot.device->hasInterface(interface)) return -ENOENT;
  slot.claims[interface] = fd;
  return 0;
}

int SimUsbHost::State::claimEndpointInterface(SimUsbSlot& slot, int fd, unsigned endpoint) {
  const int interface = interfaceOfEndpoint(slot, endpoint);
  return interface < 0 ? interface : claimFor(slot, fd, static_cast<unsigned>(interface));
}

void SimUsbHost::State::complete(SimUsbSlot& slot, SimUsbUrb* urb, int status) {
  auto& queue = slot.queues[urb->endpoint];
  auto pos = std::find(queue.begin(), queue.end(), urb);
  if (pos != queue.end()) queue.erase(pos);
  SimUsbHandle* h = urb->handle;
  auto owned = std::find_if(h->inFlight.begin(), h->inFlight.end(),
                            [urb](const std::unique_ptr<SimUsbUrb>& p) { return p.get() == urb; });
  if (owned == h->inFlight.end()) return;
  urb->status = status;
  h->completed.push_back(std::move(*owned));
  h->inFlight.erase(owned);
  h->readiness.setWritable(true);
}

void SimUsbHost::State::cancelContinuations(SimUsbSlot& slot, SimUsbHandle& h, uint8_t endpoint) {
  std::vector<SimUsbUrb*> victims;
  bool newTransfer = false;
  for (SimUsbUrb* urb : slot.queues[endpoint]) {
    if (urb->handle != &h) continue;
    // A new transfer queued behind them keeps the endpoint open.
    if (!urb->continuation) {
      newTransfer = true;
      break;
    }
    victims.push_back(urb);
  }
  if (!newTransfer) h.disabledBulk |= simBulkEndpointBit(endpoint);
  for (SimUsbUrb* v : victims) complete(slot, v, -ECONNRESET);
}

void SimUsbHost::State::cancel(SimUsbSlot& slot, int status, int fd, int interface) {
  std::vector<SimUsbUrb*> victims;
  for (auto& entry : slot.queues) {
    for (SimUsbUrb* urb : entry.second) {
      if (fd >= 0 && urb->handle->fd != fd) continue;
      if (interface >= 0) {
        int owner = -1;
        if (!slot.device->findEndpoint(urb->endpoint, &owner) || owner != interface) continue;
      }
      victims.push_back(urb);
    }
  }
  for (SimUsbUrb* urb : victims) complete(slot, urb, status);
}

void SimUsbHost::State::detach(SimUsbHandle& h) {
  if (!h.slot) return;
  SimUsbSlot& slot = *h.slot;
  cancel(slot, -ENOENT, h.fd);
  for (auto c = slot.claims.begin(); c != slot.claims.end();) c = c->second == h.fd ? slot.claims.erase(c) : ++c;
  slot.handles.erase(h.fd);
  pump(slot);
}

bool SimUsbHost::State::fillIn(SimUsbSlot& slot, SimUsbUrb& urb) {
  SimUsbDevice& device = *slot.device;
  auto& segments = device.inQueue(urb.endpoint);
  auto& shortNext = device.faults().shortNext;
  auto shortFault = shortNext.find(urb.endpoint);
  uint8_t* target = urb.buffer + urb.dataOffset;
  while (!segments.empty()) {
    SimUsbSegment& s = segments.front();
    const size_t available = s.data.size() - s.offset;
    const size_t room = urb.length - urb.filled;
    if (shortFault != shortNext.end()) {
      // The device ends this transfer early; the rest of it is lost.
      const size_t n = std::min({available, room, shortFault->second});
      if (n) std::memcpy(target + urb.filled, s.data.data() + s.offset, n);
      urb.filled += n;
      shortNext.erase(shortFault);
      device.popIn(urb.endpoint);
      return true;
    }
    const size_t n = std::min(available, room);
    if (n) std::memcpy(target + urb.filled, s.data.data() + s.offset, n);
    urb.filled += n;
    s.offset += n;
    const bool segmentDone = s.offset == s.data.size();
    const bool ends = segmentDone && s.ends;
    if (segmentDone) device.popIn(urb.endpoint);
    if (ends || urb.filled == urb.length || !segmentDone) return true;
  }
  return false;
}

void SimUsbHost::State::pump(SimUsbSlot& slot) {
  if (slot.gone) return;
  SimUsbDevice& device = *slot.device;
  const uint64_t now = nowMs();
  bool progress = true;
  while (progress) {
    progress = false;
    for (auto& entry : slot.queues) {
      const uint8_t endpoint = entry.first;
      auto& queue = entry.second;
      while (!queue.empty()) {
        SimUsbUrb* urb = queue.front();
        if (urb->notBeforeMs > now) break;
        int status = 0;
        if (!device.findEndpoint(endpoint, nullptr)) {
          status = -ESHUTDOWN;  // the endpoint left with its configuration
        } else if (device.halted(endpoint)) {
          status = -EPIPE;
        } else if (device.faults().timeout.count(endpoint)) {
          break;
        } else if (endpoint & 0x80) {
          if (!fillIn(slot, *urb)) break;
          if ((urb->flags & USBDEVFS_URB_SHORT_NOT_OK) && urb->filled < urb->length) status = -EREMOTEIO;
        } else {
          const bool zeroPacket = (urb->flags & USBDEVFS_URB_ZERO_PACKET) != 0;
          if (!device.acceptOut(endpoint, urb->buffer, urb->length, zeroPacket)) break;
        }
        complete(slot, urb, status);
        if (status != 0 && urb->bulk) cancelContinuations(slot, *urb->handle, endpoint);
        progress = true;
      }
    }
  }
}

void SimUsbHost::State::markGone(SimUsbSlot& slot) {
  if (slot.gone) return;
  // Hang up first, so a waiter sees the hang-up together with the
  // completions of the URBs that were in flight.
  for (int fd : slot.handles) {
    auto it = handles.find(fd);
    if (it != handles.end()) it->second->readiness.hangUp();
  }
  cancel(slot, -ESHUTDOWN);
  slot.gone = true;
  slot.claims.clear();
  changed.notify_all();
}

void SimUsbHost::State::resetDevice(SimUsbSlot& slot) {
  // usbfs gives up its interfaces across a reset: their URBs are killed and
  // the claims are gone afterwards.
  cancel(slot, -ENOENT);
  slot.claims.clear();
  slot.device->busReset();
}

uint64_t SimUsbHost::State::serviceDevices() {
  const uint64_t now = nowMs();
  uint64_t next = 0;
  auto consider = [&next, now](uint64_t t) {
    if (t > now && (next == 0 || t < next)) next = t;
  };
  for (auto& entry : devices) {
    SimUsbSlot& slot = *entry.second;
    if (slot.gone) continue;
    consider(slot.device->tick(now));
    pump(slot);
    for (auto& q : slot.queues)
      if (!q.second.empty()) consider(q.second.front()->notBeforeMs);
  }
  return next;
}
