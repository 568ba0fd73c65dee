// Transfer buffers of the Linux host: memory of the host controller that
// usbfs maps into the process from the device's node.
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/usb/usbhost_linux.h"

namespace {

size_t pageRounded(size_t size) {
  const long page = ::sysconf(_SC_PAGESIZE);
  const size_t unit = page > 0 ? static_cast<size_t>(page) : 4096;
  return (size + unit - 1) / unit * unit;
}

void* privateMemory(void* at, size_t length, int extraFlags) {
  return ::mmap(at, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | extraFlags, -1, 0);
}

// Puts private memory holding the same bytes where the mapping is; the
// mapping goes in the same step, so a reader or writer of the buffer on
// another thread never meets an unmapped address.
bool swapForPrivateMemory(void* mapping, size_t length) {
  void* fresh = privateMemory(nullptr, length, 0);
  if (fresh != MAP_FAILED) {
    std::memcpy(fresh, mapping, length);
    if (::mremap(fresh, length, length, MREMAP_MAYMOVE | MREMAP_FIXED, mapping) == mapping) return true;
    ::munmap(fresh, length);
  }
  // Without memory for a copy: the bytes are lost, the address stays valid.
  return privateMemory(mapping, length, MAP_FIXED) == mapping;
}

}  // namespace

int LinuxUsbHost::mapTransferBuffer(int handle, size_t size, void** buffer) {
  if (!buffer) return -EFAULT;
  *buffer = nullptr;
  if (handle < 0) return -EBADF;
  if (size == 0) return -EINVAL;
  const size_t length = pageRounded(size);
  std::lock_guard<std::mutex> hold(mappingMutex_);
  void* mapped = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, handle, 0);
  if (mapped == MAP_FAILED) return -errno;
  // A child the program starts must not hold the device's file open.
  ::madvise(mapped, length, MADV_DONTFORK);
  mappings_[handle][mapped] = length;
  *buffer = mapped;
  return 0;
}

int LinuxUsbHost::unmapTransferBuffer(int handle, void* buffer, size_t size) {
  if (!buffer) return -EINVAL;
  size_t length = 0;
  {
    std::lock_guard<std::mutex> hold(mappingMutex_);
    auto own = mappings_.find(handle);
    if (own != mappings_.end() && own->second.count(buffer)) {
      length = own->second[buffer];
      own->second.erase(buffer);
      if (own->second.empty()) mappings_.erase(own);
    } else {
      auto left = detached_.find(buffer);
      if (left == detached_.end()) return -EINVAL;
      length = left->second;
      detached_.erase(left);
    }
  }
  (void)size;  // the length recorded at mapping time is the one unmapped
  return ::munmap(buffer, length) == 0 ? 0 : -errno;
}

void LinuxUsbHost::detachMappings(int handle) {
  auto own = mappings_.find(handle);
  if (own == mappings_.end()) return;
  for (const auto& [address, length] : own->second) {
    if (swapForPrivateMemory(address, length)) {
      detached_[address] = length;
    } else {
      // Nothing can stand in for it: better a fault than the device's file
      // held open for ever.
      std::fprintf(stderr, "usbfs buffer %p of handle %d could not be replaced\n", address, handle);
      ::munmap(address, length);
    }
  }
  mappings_.erase(own);
}
