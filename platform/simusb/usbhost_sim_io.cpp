// The usbfs side of the simulated host: device nodes, handles and the
// requests on them, with the checks and results of the kernel's usbfs.
#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "platform/simusb/simusbstate.h"
#include "platform/simusb/simusbsysfs.h"
#include "platform/usb/usbhost_fs.h"
#include "runtime/file/paths.h"

namespace {

constexpr size_t kMaxControlLength = 4096;   // usbfs refuses longer data stages
constexpr size_t kMaxUrbLength = 16u << 20;  // the default usbfs memory limit
constexpr unsigned kEndlessWaitMs = 5000;    // a time-out of 0 waits "for ever"

}  // namespace

int SimUsbHost::prepareUsbDeviceFilesystem() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  struct stat st;
  if (::stat(state_->sysfsDir.c_str(), &st) != 0 && !resetSimUsbSysfs(state_->sysfsDir)) return 0;
  return prepareUsbNodeDirectories();
}

int SimUsbHost::makeDeviceNode(int busnum, int devnum, int, int) {
  if (!ensureUsbBusDirectory(busnum)) return 0;
  const std::string node = deviceNodePath(busnum, devnum);
  struct stat st;
  if (::stat(node.c_str(), &st) == 0) return 1;
  // Only root may make a device file; a plain file stands for the node.
  int fd = ::open(node.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0777);
  if (fd >= 0) ::close(fd);
  ::chmod(node.c_str(), 0777);
  return ::stat(node.c_str(), &st) == 0 ? 1 : 0;
}

int SimUsbHost::openDevice(int busnum, int devnum, int flags) {
  struct stat st;
  if (::stat(deviceNodePath(busnum, devnum).c_str(), &st) != 0) return -errno;
  std::lock_guard<std::mutex> lock(state_->mutex);
  std::shared_ptr<SimUsbSlot> slot = state_->findSlot(busnum, devnum);
  if (!slot || slot->gone) return -ENODEV;
  auto h = std::make_unique<SimUsbHandle>();
  int rc = h->readiness.open();
  if (rc < 0) return rc;
  h->fd = h->readiness.handle();
  h->writeAllowed = (flags & O_ACCMODE) != O_RDONLY;
  h->slot = slot;
  slot->handles.insert(h->fd);
  int fd = h->fd;
  state_->handles[fd] = std::move(h);
  return fd;
}

int SimUsbHost::closeDevice(int handle) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  auto it = state_->handles.find(handle);
  if (it == state_->handles.end()) return -EBADF;
  state_->detach(*it->second);
  state_->detachBuffers(*it->second);
  state_->handles.erase(it);  // closes the descriptor pair
  return 0;
}

int SimUsbHost::revokeHandle(int handle) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  auto it = state_->handles.find(handle);
  if (it == state_->handles.end()) return -EBADF;
  SimUsbHandle& h = *it->second;
  state_->detach(h);
  state_->detachBuffers(h);
  h.slot.reset();
  // Nothing is reaped from a revoked handle: its records are the owner's again.
  h.inFlight.clear();
  h.completed.clear();
  h.readiness.setWritable(false);
  return 0;
}

int SimUsbHost::readDevice(int handle, void* buffer, size_t size) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  auto it = state_->handles.find(handle);
  if (it == state_->handles.end()) return -EBADF;
  SimUsbHandle& h = *it->second;
  if (!h.slot || h.slot->gone) return -ENODEV;
  if (!buffer && size) return -EFAULT;
  const std::vector<uint8_t> image = h.slot->device->nodeImage();
  if (h.readPosition >= image.size()) return 0;
  size_t n = std::min(size, image.size() - h.readPosition);
  if (n) std::memcpy(buffer, image.data() + h.readPosition, n);
  h.readPosition += n;
  return static_cast<int>(n);
}

int SimUsbHost::State::controlRequest(SimUsbHandle& h, uint8_t requestType, uint8_t request, uint16_t value,
                                      uint16_t index, uint8_t* data, uint16_t length, unsigned timeoutMs,
                                      std::unique_lock<std::mutex>& lock) {
  if (length > kMaxControlLength) return -EINVAL;
  if (!data && length) return -EFAULT;
  std::shared_ptr<SimUsbSlot> slot = h.slot;
  SimUsbDevice& device = *slot->device;
  // The recipient checks of usbfs: an interface or endpoint named in wIndex
  // must exist and is claimed for this handle.
  if ((requestType & 0x60) != 0x40) {
    const unsigned recipient = requestType & 0x1f;
    const unsigned target = index & 0xff;
    int interface = -1;
    if (recipient == 1) {
      interface = device.hasInterface(target) ? static_cast<int>(target) : -ENOENT;
    } else if (recipient == 2 && (target & 0x7f) != 0) {
      interface = interfaceOfEndpoint(*slot, target);
      if (interface < 0) interface = interfaceOfEndpoint(*slot, target ^ 0x80);
    }
    if (recipient == 1 || (recipient == 2 && (target & 0x7f) != 0)) {
      if (interface < 0) return interface;
      int rc = claimFor(*slot, h.fd, static_cast<unsigned>(interface));
      if (rc < 0) return rc;
    }
  }
  if (device.faults().timeout.count(0)) {
    const unsigned waitMs = timeoutMs ? timeoutMs : kEndlessWaitMs;
    changed.wait_for(lock, std::chrono::milliseconds(waitMs), [&slot] { return slot->gone; });
    return slot->gone ? -ENODEV : -ETIMEDOUT;
  }
  if (device.halted(0)) {
    device.setHalted(0, false);  // a stall of the control pipe lasts one request
    return -EPIPE;
  }
  std::vector<uint8_t> buffer(data, data + length);
  int rc = device.control(requestType, request, value, index, buffer.data(), length);
  if (rc > 0 && (requestType & 0x80)) std::memcpy(data, buffer.data(), static_cast<size_t>(rc));
  pump(*slot);
  return rc;
}

int SimUsbHost::control(int handle, uint8_t requestType, uint8_t request, uint16_t value, uint16_t index,
                        void* data, uint16_t length, unsigned timeoutMs) {
  std::unique_lock<std::mutex> lock(state_->mutex);
  SimUsbHandle* h = nullptr;
  int rc = state_->begin(handle, &h);
  if (rc < 0) return rc;
  return state_->controlRequest(*h, requestType, request, value, index, static_cast<uint8_t*>(data), length,
                                timeoutMs, lock);
}

int SimUsbHost::claimInterface(int handle, unsigned interface) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  SimUsbHandle* h = nullptr;
  int rc = state_->begin(handle, &h);
  return rc < 0 ? rc : State::claimFor(*h->slot, handle, interface);
}

int SimUsbHost::releaseInterface(int handle, unsigned interface) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  SimUsbHandle* h = nullptr;
  int rc = state_->begin(handle, &h);
  if (rc < 0) return rc;
  SimUsbSlot& slot = *h->slot;
  auto it = slot.claims.find(interface);
  if (interface >= 32 || it == slot.claims.end() || it->second != handle) return -EINVAL;
  slot.claims.erase(it);
  state_->cancel(slot, -ENOENT, handle, static_cast<int>(interface));
  return 0;
}

int SimUsbHost::setInterface(int handle, unsigned interface, unsigned alternate) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  SimUsbHandle* h = nullptr;
  int rc = state_->begin(handle, &h);
  if (rc < 0) return rc;
  SimUsbSlot& slot = *h->slot;
  rc = State::claimFor(slot, handle, interface);
  if (rc < 0) return rc;
  state_->cancel(slot, -ENOENT, handle, static_cast<int>(interface));
  if (!slot.device->setAlternate(interface, alternate)) return -EINVAL;
  state_->pump(slot);
  return 0;
}

int SimUsbHost::setConfiguration(int handle, int value) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  SimUsbHandle* h = nullptr;
  int rc = state_->begin(handle, &h);
  if (rc < 0) return rc;
  SimUsbSlot& slot = *h->slot;
  // usbfs refuses while any interface is claimed, even by this handle.
  if (!slot.claims.empty()) return -EBUSY;
  if (!slot.device->setActiveConfiguration(value < 0 ? 0 : value)) return -EINVAL;
  writeSimUsbInterfaces(state_->sysfsDir, slot.devpath, *slot.device);
  return 0;
}

int SimUsbHost::clearHalt(int handle, unsigned endpoint) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  SimUsbHandle* h = nullptr;
  int rc = state_->begin(handle, &h);
  if (rc < 0) return rc;
  SimUsbSlot& slot = *h->slot;
  rc = State::claimEndpointInterface(slot, handle, endpoint);
  if (rc < 0) return rc;
  slot.device->setHalted(static_cast<uint8_t>(endpoint), false);
  state_->pump(slot);
  return 0;
}

int SimUsbHost::resetEndpoint(int handle, unsigned endpoint) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  SimUsbHandle* h = nullptr;
  int rc = state_->begin(handle, &h);
  if (rc < 0) return rc;
  // Only the host's data toggle is reset; a halted endpoint stays halted.
  return State::claimEndpointInterface(*h->slot, handle, endpoint);
}

int SimUsbHost::reset(int handle) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  SimUsbHandle* h = nullptr;
  int rc = state_->begin(handle, &h);
  if (rc < 0) return rc;
  state_->resetDevice(*h->slot);
  return 0;
}

int SimUsbHost::hardReset(int handle) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  SimUsbHandle* h = nullptr;
  int rc = state_->begin(handle, &h);
  if (rc < 0) return rc;
  rc = h->slot->device->faults().hardResetResult;
  if (rc == 0) state_->resetDevice(*h->slot);
  return rc;
}

int SimUsbHost::submitUrb(int handle, usbdevfs_urb* urb) {
  std::unique_lock<std::mutex> lock(state_->mutex);
  SimUsbHandle* h = nullptr;
  int rc = state_->begin(handle, &h);
  if (rc < 0) return rc;
  if (!urb) return -EFAULT;
  if (urb->buffer_length < 0) return -EINVAL;
  const size_t length = static_cast<size_t>(urb->buffer_length);
  if (!urb->buffer && length) return -EFAULT;
  if (length > kMaxUrbLength) return -ENOMEM;
  rc = state_->checkMappedBuffer(*h, urb->buffer, length);
  if (rc < 0) return rc;
  SimUsbSlot& slot = *h->slot;
  const uint8_t endpoint = urb->endpoint;
  auto& refuse = slot.device->faults().refuseSubmission;
  auto refused = refuse.find(endpoint);
  if (refused != refuse.end()) {
    if (refused->second == 0) {
      refuse.erase(refused);
      return -ENOMEM;
    }
    refused->second -= 1;
  }
  const uint8_t* bytes = static_cast<const uint8_t*>(urb->buffer);

  if (urb->type == USBDEVFS_URB_TYPE_CONTROL) {
    // Executed at once; the setup block leads the buffer.
    if ((endpoint & 0x7f) != 0) return -ENOENT;
    if (length < 8) return -EINVAL;
    const uint16_t wLength = static_cast<uint16_t>(bytes[6] | bytes[7] << 8);
    if (static_cast<size_t>(wLength) + 8 > length) return -EINVAL;
    std::vector<uint8_t> stage(bytes + 8, bytes + 8 + wLength);
    int result = state_->controlRequest(*h, bytes[0], bytes[1], static_cast<uint16_t>(bytes[2] | bytes[3] << 8),
                                        static_cast<uint16_t>(bytes[4] | bytes[5] << 8), stage.data(), wLength, 0,
                                        lock);
    // The handle may have been closed while a time-out was waited for.
    if (state_->begin(handle, &h, true) < 0) return -ENODEV;
    if (result < 0 && result != -EPIPE && result != -ETIMEDOUT) return result;
    std::unique_ptr<SimUsbUrb> record = h->takeUrb();
    record->user = urb;
    record->handle = h;
    record->endpoint = endpoint;
    record->flags = urb->flags;
    record->buffer = static_cast<uint8_t*>(urb->buffer);
    record->dataOffset = 8;
    record->in = (bytes[0] & 0x80) != 0;
    record->length = wLength;
    if (record->in && result > 0) {
      std::memcpy(record->buffer + 8, stage.data(), static_cast<size_t>(result));
      record->filled = static_cast<size_t>(result);
    }
    record->status = result < 0 ? result : 0;
    SimUsbHandle& owner = *h;
    owner.completed.push_back(std::move(record));
    owner.readiness.setWritable(true);
    return 0;
  }

  rc = State::claimEndpointInterface(slot, handle, endpoint);
  if (rc < 0) return rc;
  const SimUsbEndpoint* e = slot.device->findEndpoint(endpoint, nullptr);
  const unsigned transfer = e->attributes & 3;
  switch (urb->type) {
    case USBDEVFS_URB_TYPE_BULK:
      if (transfer != 2 && transfer != 3) return -EINVAL;  // bulk on interrupt is allowed
      break;
    case USBDEVFS_URB_TYPE_INTERRUPT:
      if (transfer != 3) return -EINVAL;
      break;
    default:  // isochronous: no simulated device has such an endpoint
      return -EINVAL;
  }
  // usbfs keeps the URBs of one bulk transfer together: after one fails,
  // its continuations are refused until a transfer starts anew.
  const bool bulk = transfer == 2;
  const bool continuation = bulk && (urb->flags & USBDEVFS_URB_BULK_CONTINUATION);
  if (bulk) {
    const uint32_t bit = simBulkEndpointBit(endpoint);
    if (!continuation) h->disabledBulk &= ~bit;
    else if (h->disabledBulk & bit) return -EREMOTEIO;
  }
  std::unique_ptr<SimUsbUrb> record = h->takeUrb();
  record->user = urb;
  record->handle = h;
  record->endpoint = endpoint;
  record->flags = urb->flags;
  record->buffer = static_cast<uint8_t*>(urb->buffer);
  record->length = length;
  record->bulk = bulk;
  record->continuation = continuation;
  record->notBeforeMs = slot.device->delayMs ? State::nowMs() + slot.device->delayMs : 0;
  record->in = (endpoint & 0x80) != 0;
  SimUsbUrb* raw = record.get();
  h->inFlight.push_back(std::move(record));
  slot.queues[endpoint].push_back(raw);
  state_->pump(slot);
  if (slot.device->delayMs) state_->wake();
  return 0;
}

int SimUsbHost::discardUrb(int handle, usbdevfs_urb* urb) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  SimUsbHandle* h = nullptr;
  int rc = state_->begin(handle, &h);
  if (rc < 0) return rc;
  auto it = std::find_if(h->inFlight.begin(), h->inFlight.end(),
                         [urb](const std::unique_ptr<SimUsbUrb>& p) { return p->user == urb; });
  if (it == h->inFlight.end()) return -EINVAL;
  state_->complete(*h->slot, it->get(), -ENOENT);
  return 0;
}

int SimUsbHost::reapUrbNoDelay(int handle, usbdevfs_urb** urb) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  SimUsbHandle* h = nullptr;
  int rc = state_->begin(handle, &h, true);
  if (rc < 0) return rc;
  if (!urb) return -EFAULT;
  if (h->completed.empty()) return h->slot && !h->slot->gone ? -EAGAIN : -ENODEV;
  auto next = h->completed.begin();
  if (h->slot && !h->slot->device->faults().reapNewestFirst.empty()) {
    const std::set<uint8_t>& newestFirst = h->slot->device->faults().reapNewestFirst;
    for (auto it = h->completed.end(); it != h->completed.begin();) {
      --it;
      if (newestFirst.count((*it)->endpoint)) {
        next = it;
        break;
      }
    }
  }
  std::unique_ptr<SimUsbUrb> done = std::move(*next);
  h->completed.erase(next);
  usbdevfs_urb* user = done->user;
  size_t actual = 0;
  if (done->in)
    actual = done->filled;  // already in the caller's buffer
  else if (done->status == 0)
    actual = done->length;
  user->status = done->status;
  user->actual_length = static_cast<int>(actual);
  *urb = user;
  h->keepUrb(std::move(done));
  if (h->completed.empty() && h->slot && !h->slot->gone) h->readiness.setWritable(false);
  return 0;
}
