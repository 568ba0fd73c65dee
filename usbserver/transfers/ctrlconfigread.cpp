#include "usbserver/transfers/ctrlconfigread.h"

#include <cstdlib>
#include <cstring>

#include "platform/usb/usbhost.h"
#include "usbserver/devices/usbdescriptors.h"

namespace {

// The kernel keeps at most 8 configurations of at most 65535 bytes each.
constexpr size_t kLongestNode = USB_DEVICE_DESCRIPTOR_SIZE + 8 * 65535;
constexpr size_t kReadStep = 4096;

// The node's bytes, up to kLongestNode.
class NodeImage {
 public:
  ~NodeImage() { std::free(bytes_); }
  bool load(int32_t handle) {
    for (;;) {
      if (size_ == capacity_) {
        if (capacity_ >= kLongestNode) return true;
        const size_t grown = capacity_ ? capacity_ * 2 : kReadStep;
        auto* more = static_cast<uint8_t*>(std::realloc(bytes_, grown < kLongestNode ? grown : kLongestNode));
        if (!more) return false;
        bytes_ = more;
        capacity_ = grown < kLongestNode ? grown : kLongestNode;
      }
      const int n = usbHost().readDevice(handle, bytes_ + size_, capacity_ - size_);
      if (n < 0) return false;
      if (n == 0) return true;
      size_ += static_cast<size_t>(n);
    }
  }
  const uint8_t* bytes() const { return bytes_; }
  size_t size() const { return size_; }

 private:
  uint8_t* bytes_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

}  // namespace

int readNodeConfiguration(int32_t handle, int index, uint8_t* out, int length) {
  if (index < 0 || length < 0 || (length > 0 && !out)) return -1;
  NodeImage node;
  if (!node.load(handle) || node.size() == 0) return -1;
  const uint8_t* b = node.bytes();
  const size_t size = node.size();
  size_t pos = b[0];  // the device descriptor's own length
  for (int i = 0;; ++i) {
    if (pos + USB_CONFIG_DESCRIPTOR_SIZE > size) return -1;
    const size_t total = static_cast<size_t>(b[pos + 2] | (b[pos + 3] << 8));
    if (total < USB_CONFIG_DESCRIPTOR_SIZE) return -1;
    if (i == index) {
      size_t n = static_cast<size_t>(length);
      if (n > total) n = total;
      if (n > size - pos) n = size - pos;
      if (n) std::memcpy(out, b + pos, n);
      return static_cast<int>(n);
    }
    pos += total;
  }
}
