// Transfer buffers of the simulated host: page-aligned memory of its own,
// counted so the tests see what is mapped, reused and given back.
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>

#include "platform/simusb/simusbstate.h"

namespace {

size_t pageRounded(size_t size) {
  const long page = ::sysconf(_SC_PAGESIZE);
  const size_t unit = page > 0 ? static_cast<size_t>(page) : 4096;
  return (size + unit - 1) / unit * unit;
}

}  // namespace

int SimUsbHost::mapTransferBuffer(int handle, size_t size, void** buffer) {
  if (!buffer) return -EFAULT;
  *buffer = nullptr;
  if (size == 0) return -EINVAL;
  std::lock_guard<std::mutex> lock(state_->mutex);
  SimUsbHandle* h = nullptr;
  const int rc = state_->begin(handle, &h);
  if (rc < 0) return rc;
  if (h->slot->device->faults().refuseMapping) return -ENOMEM;
  const size_t length = pageRounded(size);
  void* mapped = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) return -errno;
  h->buffers[mapped] = length;
  state_->buffersMapped += 1;
  *buffer = mapped;
  return 0;
}

int SimUsbHost::unmapTransferBuffer(int handle, void* buffer, size_t) {
  size_t length = 0;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    auto open = state_->handles.find(handle);
    std::map<void*, size_t>* owner = nullptr;
    if (open != state_->handles.end() && open->second->buffers.count(buffer)) owner = &open->second->buffers;
    else if (state_->detachedBuffers.count(buffer)) owner = &state_->detachedBuffers;
    if (!owner) return -EINVAL;
    length = (*owner)[buffer];
    owner->erase(buffer);
  }
  return ::munmap(buffer, length) == 0 ? 0 : -errno;
}

SimUsbHost::TransferBufferCounts SimUsbHost::transferBufferCounts() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  TransferBufferCounts counts;
  counts.live = static_cast<int>(state_->detachedBuffers.size());
  for (const auto& entry : state_->handles) counts.live += static_cast<int>(entry.second->buffers.size());
  counts.mapped = state_->buffersMapped;
  counts.urbsInMapped = state_->urbsInMappedBuffers;
  return counts;
}

void SimUsbHost::State::detachBuffers(SimUsbHandle& h) {
  detachedBuffers.insert(h.buffers.begin(), h.buffers.end());
  h.buffers.clear();
}

int SimUsbHost::State::checkMappedBuffer(const SimUsbHandle& h, const void* buffer, size_t length) {
  const auto* start = static_cast<const uint8_t*>(buffer);
  auto it = h.buffers.upper_bound(const_cast<void*>(buffer));
  if (it == h.buffers.begin()) return 0;
  --it;
  const auto* base = static_cast<const uint8_t*>(it->first);
  if (start >= base + it->second) return 0;
  if (length > static_cast<size_t>(base + it->second - start)) return -EINVAL;
  urbsInMappedBuffers += 1;
  return 0;
}
