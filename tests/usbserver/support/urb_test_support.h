// Transfers through a USB server in the test process: SUBMIT_URB bodies,
// completions, and a fixture that plugs a simulated device and connects
// and configures it for a client.
#ifndef TESTS_USBSERVER_SUPPORT_URB_TEST_SUPPORT_H
#define TESTS_USBSERVER_SUPPORT_URB_TEST_SUPPORT_H

#include <cstdint>
#include <string>
#include <vector>

#include "usbserver/support/usbserver_fixture.h"

// A 12-byte transfer descriptor followed by the OUT data.
std::vector<uint8_t> transferBody(int row, int port, uint8_t endpoint, uint8_t type, uint32_t inLength,
                                  uint32_t outLength, const std::vector<uint8_t>& outData = {});
// A control transfer: descriptor, setup block (16-bit fields big-endian,
// as the protocol carries them), data stage. OUT length = 8 + data size.
std::vector<uint8_t> controlBody(int row, int port, uint8_t requestType, uint8_t request, uint16_t value,
                                 uint16_t index, uint16_t wLength, uint32_t inLength,
                                 const std::vector<uint8_t>& data = {});
// Bytes counting up from start.
std::vector<uint8_t> patternBytes(size_t n, uint8_t start = 0);

// Replies up to and including the next final completion (0x1008); false
// when none came within timeoutMs.
bool readCompletions(UsbTestClient& c, std::vector<UsbReply>& out, int timeoutMs = 5000);
// The next reply or unsolicited notice (DEVICE_GONE, PORT_DISABLED: the
// header's opcode in header.opcode, [row, port] in data) within timeoutMs.
bool readMessage(UsbTestClient& c, UsbReply& out, bool* notice, int timeoutMs = 5000);
// The data of all replies together.
std::vector<uint8_t> joinedData(const std::vector<UsbReply>& replies);

// The context byte the tests send with every SUBMIT_URB.
constexpr uint8_t kUrbContext = 0x5A;
constexpr uint8_t kInterrupt = 1;
constexpr uint8_t kControl = 2;
constexpr uint8_t kBulk = 3;

class UrbServerFixture : public UsbServerFixture {
 protected:
  struct Device {
    int row = -1;
    int port = 0;
  };

  // Plugs the device, rescans and returns its row and port.
  Device plugDevice(const std::string& devpath, const std::string& kind);
  // CONNECT and SET_CONFIGURATION 1 for client c.
  void attach(UsbTestClient& c, const Device& d);
  // Starts the server, plugs the device and attaches it to a new client
  // (over TLS with tls).
  UsbTestClient& serve(const std::string& devpath, const std::string& kind, Device* out, bool tls = false);

  // SUBMIT_URB with the test context byte.
  bool submit(UsbTestClient& c, uint32_t tag, const std::vector<uint8_t>& body);
  // A control transfer and its immediate reply.
  UsbReply control(UsbTestClient& c, const Device& d, uint8_t requestType, uint8_t request, uint16_t value,
                   uint16_t index, uint16_t wLength, uint32_t inLength, const std::vector<uint8_t>& data = {});
  // A bulk or interrupt transfer and its completions up to the final one.
  std::vector<UsbReply> transfer(UsbTestClient& c, const Device& d, uint8_t endpoint, uint8_t type,
                                 uint32_t inLength, const std::vector<uint8_t>& outData = {});
};

#endif
