#include "net/support/packetcapture.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iterator>

#include "net/support/privatenetwork.h"
#include "support/shell_command.h"

PacketCapture::~PacketCapture() { stop(); }

bool PacketCapture::start(const std::string& ns, const std::string& device, const std::string& dir,
                          const std::string& filter, std::string* why) {
  if (!PrivateNetwork::run("command -v tshark")) {
    *why = "tshark is not installed";
    return false;
  }
  file_ = dir + "/capture.pcap";
  log_ = dir + "/capture.log";
  summary_ = dir + "/capture.txt";
  const std::string command = "exec ip netns exec " + ns + " tshark -l -P -i " + device + " -f '" + filter + "' -w " +
                              file_ + " >" + summary_ + " 2>" + log_;
  const pid_t pid = spawnShell(command);
  if (pid < 0) {
    *why = "fork failed";
    return false;
  }
  pid_ = pid;
  for (int i = 0; i < 1000; ++i) {
    std::ifstream in(log_);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (text.find("Capturing on") != std::string::npos) return true;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      *why = "tshark ended: " + text;
      return false;
    }
    ::usleep(20000);
  }
  *why = "tshark did not start capturing";
  return false;
}

bool PacketCapture::waitForFrames(const std::function<void()>& poke) {
  for (int i = 0; i < 100; ++i) {
    poke();
    ::usleep(50000);
    struct stat now;
    if (::stat(summary_.c_str(), &now) == 0 && now.st_size > 0) return true;
  }
  return false;
}

int PacketCapture::count(const char* text) const {
  std::ifstream in(summary_);
  std::string line;
  int n = 0;
  while (std::getline(in, line))
    if (line.find(text) != std::string::npos) ++n;
  return n;
}

void PacketCapture::stop() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGINT);
  int status = 0;
  for (int i = 0; i < 500 && ::waitpid(pid_, &status, WNOHANG) == 0; ++i) ::usleep(10000);
  if (::waitpid(pid_, &status, WNOHANG) == 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, &status, 0);
  }
  pid_ = -1;
}

std::string PacketCapture::read(const std::string& displayFilter, const std::string& arguments) const {
  return PrivateNetwork::output("tshark -r " + file_ +
                                " -o ip.check_checksum:TRUE -o udp.check_checksum:TRUE -Y '" + displayFilter + "' " +
                                arguments);
}
