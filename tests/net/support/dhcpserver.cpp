#include "net/support/dhcpserver.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <vector>

#include "net/support/privatenetwork.h"
#include "support/shell_command.h"

namespace {

std::atomic<int> serverCounter{0};

void pause(int ms) { ::usleep(static_cast<useconds_t>(ms) * 1000); }

}  // namespace

DhcpServer::~DhcpServer() {
  stop();
  if (!ns_.empty()) PrivateNetwork::run("ip netns del " + ns_);
  if (!dir_.empty()) PrivateNetwork::run("rm -rf '" + dir_ + "'");
}

bool DhcpServer::create(std::string* why) {
  ns_ = "dhcpsrv" + std::to_string(::getpid()) + "-" + std::to_string(serverCounter++);
  char pattern[] = "/tmp/dhcpsrv-XXXXXX";
  if (!::mkdtemp(pattern)) {
    *why = "mkdtemp failed";
    return false;
  }
  dir_ = pattern;
  const std::string in = "ip -n " + ns_ + " ";
  if (!PrivateNetwork::run("ip netns add " + ns_) || !PrivateNetwork::run("ip link set peer0 netns " + ns_) ||
      !PrivateNetwork::run(in + "addr add " + kAddress + "/24 dev peer0") ||
      !PrivateNetwork::run(in + "link set lo up") || !PrivateNetwork::run(in + "link set peer0 up")) {
    *why = "cannot set up the server namespace";
    return false;
  }
  return true;
}

bool DhcpServer::start(const std::string& leaseTime, const std::string& extra, std::string* why) {
  stop();
  if (!PrivateNetwork::run("command -v dnsmasq")) {
    *why = "dnsmasq is not installed";
    return false;
  }
  // Each run logs afresh and knows no earlier lease.
  std::remove((dir_ + "/log").c_str());
  std::remove((dir_ + "/leases").c_str());
  const std::string command = "exec ip netns exec " + ns_ +
                              " dnsmasq --conf-file=/dev/null --keep-in-foreground --no-ping --port=0"
                              " --interface=peer0 --bind-interfaces --user=root --log-dhcp"
                              " --dhcp-leasefile=" + dir_ + "/leases --pid-file=" + dir_ + "/pid"
                              " --log-facility=" + dir_ + "/log --dhcp-range=10.77.0.50,10.77.0.150,255.255.255.0," +
                              leaseTime + " " + extra;
  if (!spawn(command, why)) return false;
  // Ready once it has bound its sockets.
  return waitReady([this] { return count("DHCP, IP range") > 0; }, why);
}

bool DhcpServer::startCrafted(const std::string& mode, std::string* why) {
  stop();
  if (!PrivateNetwork::run("/usr/bin/python3 -c 'import scapy.all'")) {
    *why = "python3-scapy is not installed";
    return false;
  }
  std::remove((dir_ + "/crafted.log").c_str());
  const std::string command = "exec ip netns exec " + ns_ + " /usr/bin/python3 " + TEST_SOURCE_DIR +
                              "/tests/net/tools/dhcp_crafted_server.py peer0 " + mode + " " + dir_ +
                              "/crafted.log 2>" + dir_ + "/crafted.err";
  if (!spawn(command, why)) return false;
  return waitReady([this] { return craftedLog().find("ready") != std::string::npos; }, why);
}

bool DhcpServer::spawn(const std::string& command, std::string* why) {
  const pid_t pid = spawnShell(command);
  if (pid < 0) {
    *why = "fork failed";
    return false;
  }
  pid_ = pid;
  return true;
}

bool DhcpServer::waitReady(const std::function<bool()>& ready, std::string* why) {
  for (int i = 0; i < 400; ++i) {
    if (ready()) return true;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      *why = "the server ended at once: " + log();
      return false;
    }
    pause(25);
  }
  *why = "the server did not start";
  return false;
}

std::string DhcpServer::craftedLog() const {
  std::ifstream in(dir_ + "/crafted.log");
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void DhcpServer::stop() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  int status = 0;
  for (int i = 0; i < 200 && ::waitpid(pid_, &status, WNOHANG) == 0; ++i) pause(10);
  if (::waitpid(pid_, &status, WNOHANG) == 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, &status, 0);
  }
  pid_ = -1;
}

bool DhcpServer::runInside(const std::string& command) const {
  return PrivateNetwork::run("ip netns exec " + ns_ + " " + command);
}

std::string DhcpServer::log() const {
  std::ifstream in(dir_ + "/log");
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

int DhcpServer::count(const char* text) const {
  const std::string all = log();
  int n = 0;
  for (size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + 1)) ++n;
  return n;
}
