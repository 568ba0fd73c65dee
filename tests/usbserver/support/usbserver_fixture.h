// A USB server running in the test process: the device table fixture's
// data root and simulated host, a certificate pair, the listener task on
// loopback ports chosen for the test, and clients speaking the wire protocol
// over plain TCP or TLS.
#ifndef TESTS_USBSERVER_SUPPORT_USBSERVER_FIXTURE_H
#define TESTS_USBSERVER_SUPPORT_USBSERVER_FIXTURE_H

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/simusb/usbhost_sim.h"
#include "runtime/socket/interfaceview.h"
#include "usbserver/protocol/wireprotocol.h"
#include "usbserver/support/usb_table_fixture.h"

class TlsConnection;

// The loopback device as the interface to listen on (127.0.0.1).
class LoopbackView : public InterfaceView {
 public:
  const char* name() const override { return "lo"; }
  int getAddress(IpAddress& out, const char* name, int vid) override;
};

struct UsbReply {
  UsbReplyHeader header;
  std::vector<uint8_t> data;
};

class UsbTestClient {
 public:
  UsbTestClient();
  ~UsbTestClient();
  UsbTestClient(const UsbTestClient&) = delete;
  UsbTestClient& operator=(const UsbTestClient&) = delete;

  // Connects to 127.0.0.1:port, with the TLS handshake when tls.
  bool connect(int port, bool tls);
  void close();

  bool sendRaw(const void* data, size_t size);
  // A request header (payload length as given) followed by body.
  bool send(uint32_t opcode, uint32_t tag, const std::vector<uint8_t>& body = {}, uint32_t context = 0,
            uint32_t payloadLength = 0);
  // The next reply (24-byte header and its data) within timeoutMs.
  bool readReply(UsbReply& out, int timeoutMs = 5000);
  // send, then readReply.
  bool request(UsbReply& out, uint32_t opcode, uint32_t tag, const std::vector<uint8_t>& body = {},
               uint32_t context = 0, uint32_t payloadLength = 0);
  // Exactly n bytes within timeoutMs.
  bool readExact(void* out, int n, int timeoutMs);
  // True when the server closed the connection within timeoutMs without
  // sending anything (stray bytes make it false).
  bool closedByServer(int timeoutMs);
  // True when nothing arrives within timeoutMs and the connection stays open.
  bool quietFor(int timeoutMs);

  TlsConnection& socket() { return *socket_; }

 private:
  std::unique_ptr<TlsConnection> socket_;
};

class UsbServerFixture : public UsbTableFixture {
 protected:
  UsbServerFixture() : UsbTableFixture("p353") {}
  void SetUp() override;
  void TearDown() override;

  // Starts the listener task and waits until the plain port answers.
  void startServer();
  // Closes the clients, waits for their tasks, then ends the listener task.
  void stopServer();
  // A client connected to the plain (or TLS) port; fails the test when it
  // cannot connect.
  UsbTestClient& client(bool tls = false);
  // CONNECT of row and port: the reply's status and error.
  UsbReply connectDevice(UsbTestClient& c, int row, int port, const std::string& name = "tester");
  // Rescans so that plugged devices are in the table.
  void rescan();
  // Waits (bounded) until live connections equal n.
  bool waitConnections(int n, int timeoutMs = 5000);

  int plainPort_ = 0;
  int tlsPort_ = 0;
  int listenerId_ = -1;
  LoopbackView lo_;

 private:
  std::vector<std::unique_ptr<UsbTestClient>> clients_;
  int32_t savedPort_ = 0;
  int32_t savedTlsPort_ = 0;
  int32_t savedHeartbeat_ = 0;
};

class UsbConnection;

// A connection over one end of a socket pair, for calling handlers
// directly on the test's thread; the test reads and writes the other end.
class DirectUsbConnection {
 public:
  DirectUsbConnection();
  ~DirectUsbConnection();
  UsbConnection& connection() { return *connection_; }
  int peer() const { return peer_; }
  // The next reply on the peer end.
  bool readReply(UsbReply& out);

 private:
  std::unique_ptr<TlsConnection> socket_;
  std::unique_ptr<UsbConnection> connection_;
  int peer_ = -1;
};

// Sets an integer parameter (fails the test when missing).
void setIntParam(const char* key, int32_t value);
int32_t intParamValue(const char* key);
void setTextParam(const char* key, const char* value);
// Bytes of a big-endian 32-bit value.
std::vector<uint8_t> be32(uint32_t v);
// Polls cond every 10 ms up to timeoutMs.
bool waitFor(const std::function<bool()>& cond, int timeoutMs);

#endif
