// Builds the bytes a usbfs node yields: a device descriptor followed by
// configuration, interface and endpoint descriptors, well-formed or not.
#ifndef TESTS_USBSERVER_SUPPORT_DESCRIPTOR_BLOB_H
#define TESTS_USBSERVER_SUPPORT_DESCRIPTOR_BLOB_H

#include <cstdint>
#include <initializer_list>
#include <vector>

class DescriptorBlob {
 public:
  DescriptorBlob& device(uint8_t numConfigurations, uint16_t vendor = 0x1234, uint16_t product = 0x5678,
                         uint8_t iManufacturer = 0, uint8_t iProduct = 0, uint8_t iSerial = 0) {
    bytes_.insert(bytes_.end(), {18, 1, 0x00, 0x02, 0, 0, 0, 64, lo(vendor), hi(vendor), lo(product),
                                 hi(product), 0x00, 0x01, iManufacturer, iProduct, iSerial,
                                 numConfigurations});
    return *this;
  }
  DescriptorBlob& config(uint8_t value, uint8_t numInterfaces, uint8_t iConfiguration = 0,
                         uint16_t totalLength = 9) {
    bytes_.insert(bytes_.end(), {9, 2, lo(totalLength), hi(totalLength), numInterfaces, value,
                                 iConfiguration, 0x80, 50});
    return *this;
  }
  DescriptorBlob& interface(uint8_t number, uint8_t alternate, uint8_t cls = 0xFF, uint8_t iInterface = 0,
                            uint8_t length = 9) {
    std::vector<uint8_t> d = {length, 4, number, alternate, 0, cls, 0, 0, iInterface};
    d.resize(length < 2 ? 2 : length, 0);
    bytes_.insert(bytes_.end(), d.begin(), d.end());
    return *this;
  }
  DescriptorBlob& endpoint(uint8_t address, uint8_t attributes, uint8_t length = 7) {
    std::vector<uint8_t> d = {length, 5, address, attributes, 64, 0, 1};
    d.resize(length < 2 ? 2 : length, 0);
    bytes_.insert(bytes_.end(), d.begin(), d.end());
    return *this;
  }
  DescriptorBlob& raw(std::initializer_list<uint8_t> b) {
    bytes_.insert(bytes_.end(), b);
    return *this;
  }
  DescriptorBlob& truncate(size_t size) {
    bytes_.resize(size);
    return *this;
  }
  const std::vector<uint8_t>& bytes() const { return bytes_; }

 private:
  static uint8_t lo(uint16_t v) { return static_cast<uint8_t>(v & 0xFF); }
  static uint8_t hi(uint16_t v) { return static_cast<uint8_t>(v >> 8); }
  std::vector<uint8_t> bytes_;
};

#endif
