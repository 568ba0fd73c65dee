// Shared pieces of the TLS tests: a data root with certificate pairs made by
// the openssl command, settings the test chooses, a loopback interface, an
// `openssl s_client` peer and connected session pairs.
#ifndef TESTS_RUNTIME_SUPPORT_TLS_SUPPORT_H
#define TESTS_RUNTIME_SUPPORT_TLS_SUPPORT_H

#include <gtest/gtest.h>
#include <sys/types.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "runtime/socket/interfaceview.h"
#include "runtime/tls/tlsconnection.h"

namespace tlstest {

// Key pairs made on first use in the build tree: "own", "imported",
// "request" and "stranger" (a key that matches none of the others'
// certificates).
// Returns the path of name's certificate or key file.
std::string pairFile(const std::string& name, bool key);

// The settings the TLS layer reads, as the test sets them.
void setSslMethod(const char* method);
void setSecurity(int security);
void setTcpMaxseg(int value);
// Port VLANs: usb_ports_phy and the id of one switched-on port (-1 off).
void setPortVlan(int ports, int onIndex, int id);

// A fresh data root with "/flash", the settings installed with defaults
// ("any", 4), the own and imported pairs in place and SIGPIPE ignored.
class TlsTestRoot : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Copies pair name's files into the root as the pair slot's files.
  void installPair(int slot, const std::string& name);
  void removePair(int slot);
  std::string rootPath(const std::string& fixedPath) const;

  std::string dir_;

 private:
  std::string savedRoot_;
};

// The loopback device as an interface with the address 127.0.0.1.
class LoopbackInterface : public InterfaceView {
 public:
  const char* name() const override { return "lo"; }
  int getAddress(IpAddress& out, const char* name, int vid) override;
};

// A listener of openTcpListener on a free loopback port; null on failure.
std::unique_ptr<TlsConnection> openLoopbackListener(InterfaceView* iface, int* port);

// Waits (bounded) for a client on listener, then accepts it; null when no
// client came within limitCs or the accept failed.
std::unique_ptr<TlsConnection> acceptWithin(TlsConnection& listener, int tls, int64_t limitCs = 1000);

// An `openssl s_client` process connected to 127.0.0.1:port.
class SClient {
 public:
  SClient(int port, const std::vector<std::string>& extraArgs, const std::string& outputFile);
  ~SClient();
  // Sends a line to the client's standard input (it sends it on the session).
  void sendLine(const std::string& line);
  // Closes standard input, waits (bounded) for the end; the output.
  std::string finish();

 private:
  pid_t pid_ = -1;
  int input_ = -1;
  std::string outputFile_;
};

// The protocol version and the cipher of s_client's output.
bool parseSClientSession(const std::string& output, std::string* version, std::string* cipher);

// The names `openssl ciphers <list>` gives; empty when the list matches none.
std::set<std::string> opensslCiphers(const std::string& list);

// Two connections with TLS sessions over a socket pair: server by the
// server handshake, client by clientHandshake. False on failure. With
// serverFd / clientFd >= 0 the ends are first moved to those numbers.
bool makeSessionPair(std::unique_ptr<TlsConnection>& server, std::unique_ptr<TlsConnection>& client,
                     int serverFd = -1, int clientFd = -1);

// A plain connected socket pair as two connections (state 3, no session).
bool makePlainPair(std::unique_ptr<TlsConnection>& a, std::unique_ptr<TlsConnection>& b);

// len pseudo-random bytes from seed.
std::string patternBytes(size_t len, unsigned seed);

}  // namespace tlstest

#endif
