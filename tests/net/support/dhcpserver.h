// A DHCP server for the client tests: dnsmasq in a second network namespace
// that holds the far end ("peer0") of the test's veth pair, so every reply
// crosses the veth. The namespace name carries the process id, so parallel
// test runs never meet.
#ifndef TESTS_NET_SUPPORT_DHCPSERVER_H
#define TESTS_NET_SUPPORT_DHCPSERVER_H

#include <sys/types.h>

#include <functional>
#include <string>

class DhcpServer {
 public:
  // The server's address on peer0, and the range it hands out.
  static constexpr const char* kAddress = "10.77.0.1";
  static constexpr const char* kRangeStart = "10.77.0.50";

  DhcpServer() = default;
  ~DhcpServer();
  DhcpServer(const DhcpServer&) = delete;
  DhcpServer& operator=(const DhcpServer&) = delete;

  // Moves peer0 of the calling thread's namespace into a new namespace with
  // kAddress/24 and brings it up. False with the reason when impossible.
  bool create(std::string* why);
  // Starts dnsmasq with the range lease time ("2m", "infinite") and extra
  // arguments, with an empty log and no leases. False when it did not
  // start.
  bool start(const std::string& leaseTime, const std::string& extra, std::string* why);
  // Starts the crafted server of tools/dhcp_crafted_server.py in a mode
  // instead; false without python3-scapy.
  bool startCrafted(const std::string& mode, std::string* why);
  std::string craftedLog() const;  // its requests, one line each
  void stop();
  bool running() const { return pid_ > 0; }

  // Runs a command inside the server's namespace; true when it exits 0.
  bool runInside(const std::string& command) const;
  // dnsmasq's log so far, and how often a text occurs in it.
  std::string log() const;
  int count(const char* text) const;
  const std::string& namespaceName() const { return ns_; }
  const std::string& dir() const { return dir_; }

 private:
  bool spawn(const std::string& command, std::string* why);
  bool waitReady(const std::function<bool()>& ready, std::string* why);

  std::string ns_;
  std::string dir_;
  pid_t pid_ = -1;
};

#endif
