// Client side of the appliance VM's USB service checks: each command does
// one exchange with the server and prints what it got, one item a line, for
// the test driver to compare with what the guest and QEMU say.
//
//   vm_usbcheck --port N list                          (--tls: over TLS)
//   vm_usbcheck --port N descriptors ROW PORT
//   vm_usbcheck --port N storage ROW PORT SECTOR       (bulk-only transport)
//   vm_usbcheck --port N storage-read ROW PORT MIB [KIB [HOLD]]
//                      (timed read, KIB per command; HOLD as below)
//   vm_usbcheck --port N storage-digest ROW PORT MIB KIB HOLD
//                      (SHA-256 of the first MIB MiB, then the device held
//                      HOLD seconds before the disconnect)
//   vm_usbcheck --port N interrupt ROW PORT ENDPOINT LENGTH COUNT
//   vm_usbcheck --port N hold ROW PORT SECONDS
//   vm_usbcheck --port N status ROW PORT              (PORT_STATUS code)
// Exit code 0 when every exchange was answered as expected.
#include <signal.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "tools/usbclientlib.h"

using usbclient::Client;
using usbclient::Message;

namespace {

using Bytes = std::vector<uint8_t>;

long number(const char* text) { return std::strtol(text, nullptr, 0); }

std::string hex(const Bytes& data) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (uint8_t b : data) {
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

void line(const std::string& text) {
  std::printf("%s\n", text.c_str());
  std::fflush(stdout);
}

bool fail(const std::string& what, Client& client) {
  std::fprintf(stderr, "%s: %s\n", what.c_str(), client.lastError().c_str());
  return false;
}

bool ok(const char* what, const Message& reply) {
  if (reply.status == usbclient::STATUS_OK) return true;
  std::fprintf(stderr, "%s: status %u error %d\n", what, reply.status, reply.error);
  return false;
}

bool connectAndConfigure(Client& client, int row, int port) {
  Message reply;
  if (!client.connect(row, port, "vm_usbcheck", reply)) return fail("connect", client);
  if (!ok("connect", reply)) return false;
  if (!client.setConfiguration(row, port, 1, reply)) return fail("set configuration", client);
  return ok("set configuration", reply);
}

bool configuration(Client& client, int row, int port, int index, Bytes& out) {
  Message reply;
  if (!client.getDescriptor(row, port, 2, static_cast<uint8_t>(index), 0, 9, reply)) return fail("configuration", client);
  if (!ok("configuration", reply) || reply.data.size() < 9) return false;
  const uint16_t total = static_cast<uint16_t>(reply.data[2] | reply.data[3] << 8);
  if (!client.getDescriptor(row, port, 2, static_cast<uint8_t>(index), 0, total, reply)) return fail("configuration", client);
  if (!ok("configuration", reply)) return false;
  out = reply.data;
  return true;
}

// --- commands ----------------------------------------------------------

int list(Client& client) {
  std::vector<usbclient::Device> devices;
  if (!client.listDevices(devices)) return fail("list", client), 1;
  for (const auto& d : devices) {
    char text[96];
    std::snprintf(text, sizeof text, "row %d port %d %04x:%04x speed %d available %d", d.row, d.port, d.idVendor(),
                  d.idProduct(), d.speed, d.available);
    line(text);
  }
  return 0;
}

int descriptors(Client& client, int row, int port) {
  if (!connectAndConfigure(client, row, port)) return 1;
  Message reply;
  if (!client.getDescriptor(row, port, 1, 0, 0, 18, reply)) return fail("device", client), 1;
  if (!ok("device", reply) || reply.data.size() != 18) return 1;
  const Bytes device = reply.data;
  line("device " + hex(device));
  for (int i = 0; i < device[17]; ++i) {
    Bytes config;
    if (!configuration(client, row, port, i, config)) return 1;
    line("configuration " + std::to_string(i) + " " + hex(config));
  }
  if (!client.getDescriptor(row, port, 3, 0, 0, 255, reply) || !ok("languages", reply) || reply.data.size() < 4)
    return 1;
  const uint16_t language = static_cast<uint16_t>(reply.data[2] | reply.data[3] << 8);
  static const char* const kNames[] = {"manufacturer", "product", "serial"};
  for (int i = 0; i < 3; ++i) {
    const uint8_t index = device[14 + i];
    if (!index) continue;
    if (!client.getDescriptor(row, port, 3, index, language, 255, reply) || !ok(kNames[i], reply)) return 1;
    std::string text;
    for (size_t k = 2; k + 1 < reply.data.size(); k += 2) text += reply.data[k + 1] ? '?' : static_cast<char>(reply.data[k]);
    line(std::string(kNames[i]) + " " + text);
  }
  Message bye;
  client.disconnect(row, port, bye);
  return 0;
}

// Bulk-only transport: command block out, data in or out, status in.
class BulkOnly {
 public:
  BulkOnly(Client& client, int row, int port, uint8_t in, uint8_t out)
      : client_(client), row_(row), port_(port), in_(in), out_(out) {}

  // One command; IN data (inLength bytes) or OUT data. true when the
  // status block says passed.
  bool command(const Bytes& block, uint32_t inLength, const Bytes& outData, Bytes& inData) {
    Bytes cbw(31, 0);
    const uint32_t length = inLength ? inLength : static_cast<uint32_t>(outData.size());
    put32(cbw.data(), 0x43425355);
    put32(cbw.data() + 4, ++tag_);
    put32(cbw.data() + 8, length);
    cbw[12] = inLength ? 0x80 : 0x00;
    cbw[14] = static_cast<uint8_t>(block.size());
    std::memcpy(cbw.data() + 15, block.data(), block.size());
    std::vector<Message> done;
    if (!client_.transfer(row_, port_, out_, 3, cbw, 0, done) || !ok("command block", done.back())) return false;
    inData.clear();
    if (inLength) {
      if (!client_.transfer(row_, port_, in_, 3, {}, inLength, done) || !ok("data in", done.back())) return false;
      inData = Client::joinData(done);
    } else if (!outData.empty()) {
      if (!client_.transfer(row_, port_, out_, 3, outData, 0, done) || !ok("data out", done.back())) return false;
    }
    if (!client_.transfer(row_, port_, in_, 3, {}, 13, done) || !ok("status", done.back())) return false;
    const Bytes csw = Client::joinData(done);
    if (csw.size() != 13 || get32(csw.data()) != 0x53425355 || get32(csw.data() + 4) != tag_) {
      std::fprintf(stderr, "bad status block %s\n", hex(csw).c_str());
      return false;
    }
    if (csw[12] != 0) std::fprintf(stderr, "command %02x: status %u\n", block[0], csw[12]);
    return csw[12] == 0;
  }

  static Bytes rw10(uint8_t opcode, uint32_t lba, uint16_t blocks) {
    return {opcode, 0, static_cast<uint8_t>(lba >> 24), static_cast<uint8_t>(lba >> 16), static_cast<uint8_t>(lba >> 8),
            static_cast<uint8_t>(lba), 0, static_cast<uint8_t>(blocks >> 8), static_cast<uint8_t>(blocks), 0};
  }
  static uint32_t be32(const uint8_t* p) { return uint32_t(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3]; }

 private:
  static void put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
  }
  static uint32_t get32(const uint8_t* p) { return uint32_t(p[0]) | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }

  Client& client_;
  int row_, port_;
  uint8_t in_, out_;
  uint32_t tag_ = 0x5600;
};

// The bulk endpoints of the first interface of configuration 0.
bool bulkEndpoints(Client& client, int row, int port, uint8_t& in, uint8_t& out) {
  Bytes config;
  if (!configuration(client, row, port, 0, config)) return false;
  in = out = 0;
  for (size_t i = 0; i + 1 < config.size() && config[i] >= 2; i += config[i]) {
    if (config[i + 1] != 5 || i + 4 > config.size() || (config[i + 3] & 3) != 2) continue;
    (config[i + 2] & 0x80 ? in : out) = config[i + 2];
  }
  if (in && out) return true;
  std::fprintf(stderr, "no bulk endpoints in %s\n", hex(config).c_str());
  return false;
}

int storage(Client& client, int row, int port, uint32_t sector) {
  uint8_t in = 0, out = 0;
  if (!connectAndConfigure(client, row, port) || !bulkEndpoints(client, row, port, in, out)) return 1;
  BulkOnly bot(client, row, port, in, out);
  Bytes data;
  if (!bot.command({0x12, 0, 0, 0, 36, 0}, 36, {}, data)) return 1;
  line("inquiry " + hex(data));
  // A stick plugged in anew answers its first TEST UNIT READY with a unit
  // attention (CHECK CONDITION); REQUEST SENSE clears it, as a host does.
  bool ready = false;
  for (int attempt = 0; attempt < 3 && !ready; ++attempt) {
    ready = bot.command({0, 0, 0, 0, 0, 0}, 0, {}, data);
    if (!ready && !bot.command({0x03, 0, 0, 0, 18, 0}, 18, {}, data)) return 1;
  }
  if (!ready) return 1;
  line("test-unit-ready passed");
  if (!bot.command({0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 8, {}, data) || data.size() != 8) return 1;
  line("capacity " + std::to_string(BulkOnly::be32(data.data()) + 1) + " " + std::to_string(BulkOnly::be32(data.data() + 4)));
  if (!bot.command(BulkOnly::rw10(0x28, 0, 8), 8 * 512, {}, data)) return 1;
  line("read 0 " + hex(data));
  Bytes written(512);
  std::random_device seed;
  std::mt19937 random(seed());
  for (auto& b : written) b = static_cast<uint8_t>(random());
  if (!bot.command(BulkOnly::rw10(0x2a, sector, 1), 0, written, data)) return 1;
  line("wrote " + std::to_string(sector) + " " + hex(written));
  if (!bot.command(BulkOnly::rw10(0x28, sector, 1), 512, {}, data)) return 1;
  line("read " + std::to_string(sector) + " " + hex(data));
  Message bye;
  client.disconnect(row, port, bye);
  return 0;
}

// Reads the first MIB mebibytes, kib KiB a command; prints bytes and seconds.
int storageRead(Client& client, int row, int port, uint32_t mib, uint32_t kib, bool digest = false,
                int holdSeconds = 0) {
  uint8_t in = 0, out = 0;
  if (!connectAndConfigure(client, row, port) || !bulkEndpoints(client, row, port, in, out)) return 1;
  BulkOnly bot(client, row, port, in, out);
  const uint16_t kBlocks = static_cast<uint16_t>(kib >= 1 && kib <= 16384 ? kib * 2 : 128);
  const uint32_t total = mib * 2048;
  Bytes data;
  uint64_t bytes = 0;
  EVP_MD_CTX* sha = digest ? EVP_MD_CTX_new() : nullptr;
  if (sha) EVP_DigestInit_ex(sha, EVP_sha256(), nullptr);
  const auto start = std::chrono::steady_clock::now();
  for (uint32_t lba = 0; lba < total; lba += kBlocks) {
    const uint16_t blocks = static_cast<uint16_t>(total - lba < kBlocks ? total - lba : kBlocks);
    if (!bot.command(BulkOnly::rw10(0x28, lba, blocks), blocks * 512u, {}, data)) return 1;
    bytes += data.size();
    if (sha) EVP_DigestUpdate(sha, data.data(), data.size());
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("read %llu bytes in %.3f s\n", static_cast<unsigned long long>(bytes), seconds);
  if (sha) {
    unsigned char sum[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(sha, sum, &length);
    EVP_MD_CTX_free(sha);
    line("sha256 " + hex(Bytes(sum, sum + length)));
  }
  if (holdSeconds > 0) {
    line("holding");
    sleep(static_cast<unsigned>(holdSeconds));
  }
  Message bye;
  client.disconnect(row, port, bye);
  return bytes == uint64_t(total) * 512 ? 0 : 1;
}

int interrupt(Client& client, int row, int port, uint8_t endpoint, uint32_t length, int count) {
  if (!connectAndConfigure(client, row, port)) return 1;
  line("waiting");
  for (int i = 0; i < count; ++i) {
    std::vector<Message> done;
    if (!client.transfer(row, port, endpoint, 1, {}, length, done)) return fail("interrupt in", client), 1;
    if (!ok("interrupt in", done.back())) return 1;
    line("report " + hex(Client::joinData(done)));
  }
  Message bye;
  client.disconnect(row, port, bye);
  return 0;
}

int hold(Client& client, int row, int port, int seconds) {
  Message reply;
  if (!client.connect(row, port, "vm_usbcheck", reply)) return fail("connect", client), 1;
  if (!ok("connect", reply)) return 1;
  line("connected");
  if (seconds <= 0) return 0;
  client.setTimeout(seconds * 1000);
  Message m;
  if (!client.readMessage(m) || !m.notice || m.opcode != usbclient::OP_DEVICE_GONE || m.data.size() < 2) {
    line("no notice");
    return 0;
  }
  line("gone row " + std::to_string(m.data[0]) + " port " + std::to_string(m.data[1]));
  line(client.closedByPeer(5000) ? "closed" : "open");
  return 0;
}

int status(Client& client, int row, int port) {
  Message reply;
  if (!client.portStatus(row, port, reply)) return fail("port status", client), 1;
  if (!ok("port status", reply) || reply.data.size() < 4) return 1;
  line("code " + std::to_string(BulkOnly::be32(reply.data.data())));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  std::string host = "127.0.0.1";
  int port = 9200;
  bool tls = false;
  int i = 1;
  while (i < argc && std::strncmp(argv[i], "--", 2) == 0) {
    if (!std::strcmp(argv[i], "--tls")) {
      tls = true;
      ++i;
      continue;
    }
    if (i + 1 >= argc) break;
    if (!std::strcmp(argv[i], "--port")) port = static_cast<int>(number(argv[i + 1]));
    else if (!std::strcmp(argv[i], "--host")) host = argv[i + 1];
    i += 2;
  }
  if (i >= argc) {
    std::fprintf(stderr, "usage: vm_usbcheck [--host A] [--port N] [--tls] COMMAND ARGS\n");
    return 2;
  }
  const std::string command = argv[i];
  const int left = argc - i - 1;
  char** a = argv + i + 1;
  Client client;
  if (!client.open(host, port, tls, 20000)) return fail("open", client), 1;
  if (!client.hello(static_cast<uint32_t>(getpid()) * 2654435761u)) return fail("hello", client), 1;
  if (command == "list") return list(client);
  if (left < 2) return 2;
  const int row = static_cast<int>(number(a[0]));
  const int usbPort = static_cast<int>(number(a[1]));
  if (command == "descriptors") return descriptors(client, row, usbPort);
  if (command == "storage" && left >= 3) return storage(client, row, usbPort, static_cast<uint32_t>(number(a[2])));
  if (command == "storage-read" && left >= 3) return storageRead(client, row, usbPort, static_cast<uint32_t>(number(a[2])),
                       left >= 4 ? static_cast<uint32_t>(number(a[3])) : 64, false,
                       left >= 5 ? static_cast<int>(number(a[4])) : 0);
  if (command == "storage-digest" && left >= 5)
    return storageRead(client, row, usbPort, static_cast<uint32_t>(number(a[2])), static_cast<uint32_t>(number(a[3])),
                       true, static_cast<int>(number(a[4])));
  if (command == "interrupt" && left >= 5)
    return interrupt(client, row, usbPort, static_cast<uint8_t>(number(a[2])), static_cast<uint32_t>(number(a[3])),
                     static_cast<int>(number(a[4])));
  if (command == "status") return status(client, row, usbPort);
  if (command == "hold" && left >= 3) return hold(client, row, usbPort, static_cast<int>(number(a[2])));
  std::fprintf(stderr, "unknown command or missing arguments: %s\n", command.c_str());
  return 2;
}
