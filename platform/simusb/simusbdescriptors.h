// Descriptors of a simulated USB device, kept as values and encoded into
// the bytes a device sends (little-endian, standard USB layouts).
#ifndef PLATFORM_SIMUSB_SIMUSBDESCRIPTORS_H
#define PLATFORM_SIMUSB_SIMUSBDESCRIPTORS_H

#include <cstdint>
#include <string>
#include <vector>

struct SimUsbEndpoint {
  uint8_t address = 0;     // bit 7 set for IN
  uint8_t attributes = 2;  // transfer type in bits 0-1: 2 bulk, 3 interrupt
  uint16_t maxPacket = 64;
  uint8_t interval = 0;
};

struct SimUsbInterface {
  uint8_t number = 0;
  uint8_t alternate = 0;
  uint8_t interfaceClass = 0;
  uint8_t subClass = 0;
  uint8_t protocol = 0;
  uint8_t stringIndex = 0;
  std::vector<uint8_t> classDescriptor;  // placed before the endpoints (HID)
  std::vector<SimUsbEndpoint> endpoints;
};

struct SimUsbConfiguration {
  uint8_t value = 1;
  uint8_t attributes = 0x80;
  uint8_t maxPower = 50;  // units of 2 mA
  uint8_t stringIndex = 0;
  std::vector<SimUsbInterface> interfaces;  // every alternate setting

  // Distinct interface numbers (what bNumInterfaces counts).
  int interfaceCount() const;
};

enum class SimUsbSpeed { Low, Full, High, Super };

struct SimUsbDescriptors {
  uint16_t bcdUsb = 0x0200;
  uint8_t deviceClass = 0;
  uint8_t subClass = 0;
  uint8_t protocol = 0;
  uint8_t maxPacket0 = 64;
  uint16_t vendor = 0;
  uint16_t product = 0;
  uint16_t bcdDevice = 0x0100;
  uint8_t iManufacturer = 0;
  uint8_t iProduct = 0;
  uint8_t iSerial = 0;
  SimUsbSpeed speed = SimUsbSpeed::Full;
  std::vector<std::string> strings;  // strings[i - 1] is string index i (UTF-8)
  std::vector<SimUsbConfiguration> configurations;

  // Adds a string and returns its index.
  uint8_t addString(const std::string& text);
};

constexpr uint16_t kSimUsbLanguage = 0x0409;

std::vector<uint8_t> encodeDeviceDescriptor(const SimUsbDescriptors& d);
std::vector<uint8_t> encodeConfiguration(const SimUsbConfiguration& c);
// String descriptor of UTF-8 text as UTF-16LE (characters outside the
// basic plane become '?'); at most 126 characters.
std::vector<uint8_t> encodeStringDescriptor(const std::string& text);
// String descriptor 0: the one language the simulated devices know.
std::vector<uint8_t> encodeLanguageTable();

#endif
