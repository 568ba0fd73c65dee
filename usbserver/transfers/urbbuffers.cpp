#include "usbserver/transfers/urbbuffers.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <mutex>
#include <vector>

#include "platform/usb/usbhost.h"
#include "usbserver/transfers/urbengine.h"

namespace {

// Smaller transfers (commands, statuses, interrupt reports) are cheap to
// copy and would waste most of a mapped chunk.
constexpr size_t kMappedFrom = 4096;
constexpr size_t kMappedSize = static_cast<size_t>(URB_CHUNK_SIZE);
// Idle mapped chunks a handle keeps: a 1 MiB transfer and a few more.
constexpr size_t kKeptPerHandle = 24;
// Ordinary chunks kept for reuse; more are freed.
constexpr int kKept = 32;

struct Pool {
  UsbHost* host = nullptr;
  uint64_t generation = 0;
  bool unmappable = false;  // the handle refused a mapping for good
  std::vector<void*> idle;
};

struct Mapped {
  UsbHost* host = nullptr;
  int handle = -1;
  uint64_t generation = 0;
};

std::mutex poolMutex;
std::map<int, Pool> pools;
std::map<void*, Mapped> mapped;  // every mapped buffer, in use or idle
uint64_t nextGeneration = 1;
void* kept[kKept];
int keptCount = 0;

// Unmaps through the host that mapped it; a buffer of a host no longer in
// use is only forgotten (that host may be gone).
void unmapLocked(void* buffer, const Mapped& m, UsbHost& current) {
  if (m.host == &current) current.unmapTransferBuffer(m.handle, buffer, kMappedSize);
  mapped.erase(buffer);
}

// The handle's pool for the host in use; a pool left by another host is
// forgotten (its memory stays as that host left it). Under poolMutex.
Pool& poolOf(int handle, UsbHost& host) {
  Pool& pool = pools[handle];
  if (pool.host != &host) {
    for (void* buffer : pool.idle) mapped.erase(buffer);
    pool = Pool();
    pool.host = &host;
    pool.generation = nextGeneration++;
  }
  return pool;
}

void* mappedBuffer(int handle) {
  UsbHost& host = usbHost();
  std::lock_guard<std::mutex> hold(poolMutex);
  Pool& pool = poolOf(handle, host);
  if (!pool.idle.empty()) {
    void* buffer = pool.idle.back();
    pool.idle.pop_back();
    return buffer;
  }
  if (pool.unmappable) return nullptr;
  void* buffer = nullptr;
  const int rc = host.mapTransferBuffer(handle, kMappedSize, &buffer);
  if (rc < 0 || !buffer) {
    // At the memory limit a later mapping may succeed; other refusals stay.
    if (rc != -ENOMEM) pool.unmappable = true;
    return nullptr;
  }
  mapped[buffer] = Mapped{&host, handle, pool.generation};
  return buffer;
}

// True when buffer was a mapped one (now idle in its pool or unmapped).
bool giveBackMapped(void* buffer) {
  UsbHost& host = usbHost();
  std::lock_guard<std::mutex> hold(poolMutex);
  auto it = mapped.find(buffer);
  if (it == mapped.end()) return false;
  const Mapped m = it->second;
  auto pool = pools.find(m.handle);
  if (pool != pools.end() && pool->second.generation == m.generation && pool->second.host == m.host &&
      pool->second.idle.size() < kKeptPerHandle) {
    pool->second.idle.push_back(buffer);
  } else {
    unmapLocked(buffer, m, host);
  }
  return true;
}

}  // namespace

void* allocUrbBuffer(int handle, size_t size) {
  if (handle >= 0 && size >= kMappedFrom && size <= kMappedSize) {
    if (void* buffer = mappedBuffer(handle)) return buffer;
  }
  if (size == kMappedSize) {
    std::lock_guard<std::mutex> hold(poolMutex);
    if (keptCount > 0) return kept[--keptCount];
  }
  return std::malloc(size ? size : 1);
}

void freeUrbBuffer(void* buffer, size_t size) {
  if (!buffer) return;
  if (size >= kMappedFrom && size <= kMappedSize && giveBackMapped(buffer)) return;
  if (size == kMappedSize) {
    std::lock_guard<std::mutex> hold(poolMutex);
    if (keptCount < kKept) {
      kept[keptCount++] = buffer;
      return;
    }
  }
  std::free(buffer);
}

void dropUrbBuffers(int handle) {
  if (handle < 0) return;
  UsbHost& host = usbHost();
  std::lock_guard<std::mutex> hold(poolMutex);
  auto pool = pools.find(handle);
  if (pool == pools.end()) return;
  for (void* buffer : pool->second.idle) {
    auto it = mapped.find(buffer);
    if (it != mapped.end()) unmapLocked(buffer, it->second, host);
  }
  pools.erase(pool);
}

int mappedUrbBufferCount() {
  std::lock_guard<std::mutex> hold(poolMutex);
  return static_cast<int>(mapped.size());
}
