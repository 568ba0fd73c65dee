// Fuzzes the mDNS responder's handling of received messages: name reading
// with compression, questions, known answers and conflicts. Whatever comes
// in, every packet the responder sends must still be a well-formed DNS
// message whose labels hold at most 63 bytes. The first input byte picks
// the responder's state (name, probing or announced, legacy source port).
#include <arpa/inet.h>
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

#include "net/discovery/bonjourtask.h"
#include "net/discovery/dnsname.h"
#include "params/identity/productparams.h"
#include "params/store/paramstore.h"
#include "params/types/parambase.h"
#include "runtime/file/paths.h"
#include "runtime/task/uptime.h"

namespace {

uint16_t read16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

// Aborts unless the message decodes completely.
void checkSent(const std::vector<uint8_t>& m) {
  if (m.size() < 12 || m.size() > 12 + kMdnsTotalLimit) std::abort();
  size_t at = 12;
  for (int section = 0; section < 4; ++section) {
    for (int i = 0; i < read16(m.data() + 4 + 2 * section); ++i) {
      DnsName name;
      if (!readDnsName(m.data(), m.size(), &at, &name)) std::abort();
      for (int l = 0; l < name.count; ++l)
        if (name.length[l] > 63 || name.length[l] == 0) std::abort();
      at += 4;
      if (section > 0) {
        if (at + 6 > m.size()) std::abort();
        at += 6 + read16(m.data() + at + 4);
      }
      if (at > m.size()) std::abort();
    }
  }
  if (at != m.size()) std::abort();
}

class CheckedBonjour : public BonjourTask {
 public:
  CheckedBonjour() : BonjourTask(nullptr) {}

 protected:
  int transmit(const iovec* parts, int count, uint32_t, uint16_t, int) override {
    std::vector<uint8_t> message;
    for (int i = 0; i < count; ++i) {
      const uint8_t* p = static_cast<const uint8_t*>(parts[i].iov_base);
      message.insert(message.end(), p, p + parts[i].iov_len);
    }
    checkSent(message);
    return 1;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static CheckedBonjour* responder = [] {
    static char pattern[] = "/tmp/fuzz-mdns-XXXXXX";
    if (!::mkdtemp(pattern)) std::abort();
    setDataRoot(pattern);
    std::filesystem::create_directories(std::string(pattern) + "/etc");
    std::atexit([] { std::filesystem::remove_all(pattern); });
    std::strcpy(productParams().product_name, "myHub-20D");
    std::strcpy(productParams().default_name, "HUB-35307");
    BonjourTask::setServicePorts(443, 80);
    return new CheckedBonjour();
  }();
  if (size < 1) return 0;
  const uint8_t mode = data[0];
  static const char* const names[] = {"", "Office", "Office (7)", "Lab HUB-35307"};
  Param* name = paramStore.find("bonjour_name");
  if (name) name->set(names[mode & 3]);

  responder->resetState(true);
  for (MdnsService& s : mdnsServices) s.clearBits();
  responder->loadInstanceCounter();
  responder->buildInstanceName();
  responder->setHostAddress(htonl(0x0A000005));
  responder->advanceProbes();
  if (mode & 4) {
    for (int i = 0; i < 4; ++i) {
      shiftUptimeForTesting(25);
      responder->advanceProbes();
    }
  }
  MdnsSource source{};
  source.address = htonl(0x0A000009);
  source.port = (mode & 8) ? 49152 : 5353;
  source.vlan = -1;
  source.unicastSocket = (mode & 16) != 0;
  source.rowAddress = htonl(0x0A000005);
  source.rowMask = htonl(0xFFFFFF00);
  // An exact-size copy, so any read past the message is caught.
  std::vector<uint8_t> message(data + 1, data + size);
  responder->handlePacket(message.data(), message.size(), source);
  shiftUptimeForTesting(12);
  responder->sendDueAnswer();
  responder->advanceProbes();
  return 0;
}
