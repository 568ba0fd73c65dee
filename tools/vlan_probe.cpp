// vlan_probe [-i INTERFACE] STEP...
//
// Drives the VLAN slot table of one NetInterface through the given steps
// and prints, after each, the kernel's own view: the 802.1Q devices from
// /proc/net/vlan/config and the IPv4 addresses with their labels.
//   set SLOT VID ADDRESS/PREFIX   configureVlanSlot (gateway 0: on-link)
//   release SLOT                  releaseVlanSlot
//   release-all                   releaseAllVlanSlots
// Output per step: "> STEP", "rc=N", "slot N vid V alias A" per used slot,
// "vlan DEVICE VID PARENT" and "addr LABEL ADDRESS/PREFIX" lines.
// Exit code 0 when every step ran, 2 for a malformed step.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "net/interface/netinterface.h"

namespace {

int prefixLength(uint32_t networkMask) {
  return __builtin_popcount(ntohl(networkMask));
}

void printVlanDevices() {
  FILE* file = std::fopen("/proc/net/vlan/config", "r");
  if (!file) {
    std::printf("vlan-config missing\n");
    return;
  }
  char line[256];
  while (std::fgets(line, sizeof line, file)) {
    char device[64], parent[64];
    int vid = 0;
    if (std::sscanf(line, "%63s | %d | %63s", device, &vid, parent) == 3)
      std::printf("vlan %s %d %s\n", device, vid, parent);
  }
  std::fclose(file);
}

void printAddresses(const char* parent) {
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return;
  const size_t parentLength = std::strlen(parent);
  for (ifaddrs* a = list; a; a = a->ifa_next) {
    if (!a->ifa_addr || a->ifa_addr->sa_family != AF_INET) continue;
    if (std::strncmp(a->ifa_name, parent, parentLength) != 0 || a->ifa_name[parentLength] != '.') continue;
    char text[INET_ADDRSTRLEN];
    const uint32_t word = reinterpret_cast<sockaddr_in*>(a->ifa_addr)->sin_addr.s_addr;
    inet_ntop(AF_INET, &word, text, sizeof text);
    const uint32_t mask =
        a->ifa_netmask ? reinterpret_cast<sockaddr_in*>(a->ifa_netmask)->sin_addr.s_addr : 0;
    std::printf("addr %s %s/%d\n", a->ifa_name, text, prefixLength(mask));
  }
  freeifaddrs(list);
}

void printSlots(const NetInterface& nif) {
  for (int n = 0; n < kVlanSlotCount; ++n) {
    const VlanSlot slot = nif.vlanSlot(n);
    if (slot.address != 0) std::printf("slot %d vid %d alias %d\n", n, slot.vlanId, slot.alias);
  }
}

bool parseSlot(const char* text, int* slot) {
  char* end = nullptr;
  long value = std::strtol(text, &end, 10);
  if (!*text || *end || value < 0 || value >= kVlanSlotCount) return false;
  *slot = static_cast<int>(value);
  return true;
}

// "a.b.c.d/n" into network-order address and mask.
bool parseAddress(const char* text, uint32_t* address, uint32_t* mask) {
  std::string value(text);
  const size_t slash = value.find('/');
  if (slash == std::string::npos) return false;
  const int prefix = std::atoi(value.c_str() + slash + 1);
  if (prefix < 1 || prefix > 32) return false;
  in_addr parsed;
  if (inet_pton(AF_INET, value.substr(0, slash).c_str(), &parsed) != 1) return false;
  *address = parsed.s_addr;
  *mask = htonl(prefix == 32 ? 0xffffffffu : ~(0xffffffffu >> prefix));
  return true;
}

int usage() {
  std::fprintf(stderr,
               "usage: vlan_probe [-i INTERFACE] STEP...\n"
               "  set SLOT VID ADDRESS/PREFIX | release SLOT | release-all\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  const char* name = "eth0";
  int at = 1;
  if (at + 1 < argc && std::strcmp(argv[at], "-i") == 0) {
    name = argv[at + 1];
    at += 2;
  }
  if (at >= argc) return usage();

  NetInterface nif;
  nif.setName(name);
  if (!nif.openSocket()) {
    std::perror("socket");
    return 2;
  }
  while (at < argc) {
    const char* step = argv[at];
    int rc = 0;
    int slot = 0;
    if (std::strcmp(step, "set") == 0 && at + 3 < argc) {
      uint32_t address = 0, mask = 0;
      char* end = nullptr;
      const long vid = std::strtol(argv[at + 2], &end, 10);
      if (!parseSlot(argv[at + 1], &slot) || *end || !parseAddress(argv[at + 3], &address, &mask))
        return usage();
      std::printf("> set %d %ld %s\n", slot, vid, argv[at + 3]);
      rc = nif.configureVlanSlot(slot, address, mask, 0, static_cast<int>(vid));
      at += 4;
    } else if (std::strcmp(step, "release") == 0 && at + 1 < argc) {
      if (!parseSlot(argv[at + 1], &slot)) return usage();
      std::printf("> release %d\n", slot);
      rc = nif.releaseVlanSlot(slot);
      at += 2;
    } else if (std::strcmp(step, "release-all") == 0) {
      std::printf("> release-all\n");
      nif.releaseAllVlanSlots();
      rc = 1;
      at += 1;
    } else {
      return usage();
    }
    std::printf("rc=%d\n", rc);
    printSlots(nif);
    printVlanDevices();
    printAddresses(name);
    std::fflush(stdout);
  }
  return 0;
}
