#include "net/support/tsharkcheck.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace {

void put16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v >> 8));
  out.push_back(static_cast<uint8_t>(v));
}

void putLe32(std::ofstream& out, uint32_t v) {
  const char bytes[4] = {static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
                         static_cast<char>(v >> 24)};
  out.write(bytes, 4);
}

std::string writeCapture(const std::vector<std::vector<uint8_t>>& payloads, uint16_t sourcePort, uint16_t port) {
  char name[] = "/tmp/tsharkcheck.XXXXXX";
  const int fd = mkstemp(name);
  if (fd < 0) return "";
  ::close(fd);
  std::ofstream out(name, std::ios::binary);
  putLe32(out, 0xa1b2c3d4);
  out.write("\x02\x00\x04\x00", 4);  // version 2.4
  putLe32(out, 0);
  putLe32(out, 0);
  putLe32(out, 65535);
  putLe32(out, 101);  // raw IP
  uint32_t second = 1;
  for (const std::vector<uint8_t>& payload : payloads) {
    std::vector<uint8_t> packet = {0x45, 0};
    put16(packet, static_cast<uint16_t>(28 + payload.size()));
    // Each packet from an address of its own: the dissectors' tracking of
    // repeated queries and responses then sees no retransmissions.
    packet.insert(packet.end(), {0, 0, 0, 0, 255, 17, 0, 0, 10, 1, static_cast<uint8_t>(second >> 8),
                                 static_cast<uint8_t>(second), 10, 0, 0, 9});
    put16(packet, sourcePort);
    put16(packet, port);
    put16(packet, static_cast<uint16_t>(8 + payload.size()));
    put16(packet, 0);
    packet.insert(packet.end(), payload.begin(), payload.end());
    putLe32(out, second++);
    putLe32(out, 0);
    putLe32(out, static_cast<uint32_t>(packet.size()));
    putLe32(out, static_cast<uint32_t>(packet.size()));
    out.write(reinterpret_cast<const char*>(packet.data()), static_cast<std::streamsize>(packet.size()));
  }
  return name;
}

std::string run(const std::string& command) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return "popen failed";
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
  pclose(pipe);
  return out;
}

std::string tshark(const std::vector<std::vector<uint8_t>>& payloads, uint16_t sourcePort, uint16_t port,
                   const std::string& options) {
  const std::string file = writeCapture(payloads, sourcePort, port);
  if (file.empty()) return "no capture file";
  const std::string out = run("tshark -n -o udp.check_checksum:FALSE -o ip.check_checksum:FALSE -r " + file + " " + options + " 2>&1");
  std::remove(file.c_str());
  // tshark's note about running as root is no finding.
  std::string kept;
  size_t start = 0;
  while (start < out.size()) {
    size_t end = out.find('\n', start);
    if (end == std::string::npos) end = out.size() - 1;
    const std::string line = out.substr(start, end - start + 1);
    if (line.rfind("Running as user", 0) != 0) kept += line;
    start = end + 1;
  }
  return kept;
}

}  // namespace

bool tsharkAvailable() { return std::system("command -v tshark >/dev/null 2>&1") == 0; }

std::string tsharkProblems(const std::vector<std::vector<uint8_t>>& payloads, uint16_t sourcePort,
                           uint16_t destinationPort) {
  return tshark(payloads, sourcePort, destinationPort,
                "-Y '_ws.malformed || _ws.expert.severity >= 0x00600000'");
}

std::string tsharkDissection(const std::vector<std::vector<uint8_t>>& payloads, uint16_t sourcePort,
                             uint16_t destinationPort) {
  return tshark(payloads, sourcePort, destinationPort, "-V");
}
