// Fuzzes the reading of DHCP/BOOTP replies: acceptance, the option walk,
// the lease timers and storing the options into the parameters of a
// scratch data root.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

#include "net/dhcp/dhcpapply.h"
#include "net/dhcp/dhcpreply.h"
#include "runtime/file/paths.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool rooted = [] {
    static char pattern[] = "/tmp/fuzz-dhcp-XXXXXX";
    const char* dir = ::mkdtemp(pattern);
    if (!dir) return false;
    setDataRoot(dir);
    std::atexit([] { std::filesystem::remove_all(pattern); });
    return true;
  }();
  (void)rooted;
  // An exact-size copy, so any read past the datagram is caught.
  std::vector<uint8_t> reply(data, data + size);
  const uint8_t mac[6] = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
  const uint8_t xid[4] = {1, 2, 3, 4};
  isReplyFor(reply.data(), reply.size(), mac, xid);
  getDhcpMessageType(reply.data(), reply.size());
  DhcpReplyInfo info;
  if (parseDhcpReply(reply.data(), reply.size(), info)) {
    dhcpLeaseTimes(info.leaseRaw, info.t1Raw, info.t2Raw);
    storeDhcpReplyOptions(info);
  }
  return 0;
}
