// A USB server running in the test process on the loopback device, plain
// and TLS, over the simulated USB host, with clients of the client library.
// Parameters a test changes are put back afterwards.
#ifndef TESTS_USBSERVER_SUPPORT_ACCESS_SERVER_FIXTURE_H
#define TESTS_USBSERVER_SUPPORT_ACCESS_SERVER_FIXTURE_H

#include <map>
#include <memory>
#include <string>

#include "tools/usbclientlib.h"
#include "usbserver/support/usb_table_fixture.h"

class UsbSrvd;

class AccessServerFixture : public UsbTableFixture {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Sets a parameter (its old text is restored at the end).
  void setParam(const std::string& key, const std::string& value);
  // A connected client (TLS or plain) that has said HELLO with tag.
  std::unique_ptr<usbclient::Client> client(bool tls = false, uint32_t tag = 0x12345678);
  // A raw client without HELLO.
  std::unique_ptr<usbclient::Client> rawClient(bool tls = false);
  // The port of the plain or TLS listener.
  int listenPort(bool tls) const { return tls ? tlsPort_ : plainPort_; }
  // The device list of a client, as rows.
  std::vector<int> listedRows(usbclient::Client& c, const std::vector<usbclient::PortKey>& keys = {},
                              bool sha1 = false);
  // Waits (bounded) until the row reaches the state; true when it did.
  bool waitForRowState(int row, int state, int limitMs = 5000);

  // Rows of the devices the fixture plugs (behind a hub on root port 1;
  // port = hub port): hid on port 2, loopback on port 3.
  int hidRow_ = -1;
  int loopbackRow_ = -1;

 private:
  void stopServer();

  int plainPort_ = 0;
  int tlsPort_ = 0;
  std::map<std::string, std::string> saved_;
};

#endif
