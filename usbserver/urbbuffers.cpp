#include "usbserver/urbbuffers.h"

#include <cstdlib>
#include <mutex>

#include "usbserver/urbengine.h"

namespace {

// Enough for a few connections' bulk transfers in flight; more are freed.
constexpr int kKept = 32;

std::mutex keptMutex;
void* kept[kKept];
int keptCount = 0;

}  // namespace

void* allocUrbBuffer(size_t size) {
  if (size == static_cast<size_t>(URB_CHUNK_SIZE)) {
    std::lock_guard<std::mutex> hold(keptMutex);
    if (keptCount > 0) return kept[--keptCount];
  }
  return std::malloc(size ? size : 1);
}

void freeUrbBuffer(void* buffer, size_t size) {
  if (!buffer) return;
  if (size == static_cast<size_t>(URB_CHUNK_SIZE)) {
    std::lock_guard<std::mutex> hold(keptMutex);
    if (keptCount < kKept) {
      kept[keptCount++] = buffer;
      return;
    }
  }
  std::free(buffer);
}
