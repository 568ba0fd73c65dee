#include "net/filter/packetfilter.h"

#include <libiptc/libiptc.h>
#include <linux/netfilter/xt_mac.h>
#include <linux/netfilter/xt_multiport.h>
#include <netinet/in.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>

#include "net/filter/ipfilterpattern.h"
#include "params/store/paramstore.h"
#include "params/types/intparam.h"
#include "params/types/p3list.h"
#include "params/types/parambase.h"
#include "runtime/file/paths.h"

namespace {

constexpr char kTable[] = "filter";
constexpr char kChain[] = "INPUT";
constexpr char kParamFile[] = "/etc/params.dat";

// The kernel's XT_ALIGN, without the typeof some kernel headers use.
constexpr int xtAlign(size_t size) {
  return static_cast<int>((size + alignof(struct _xt_align) - 1) & ~(alignof(struct _xt_align) - 1));
}

constexpr int kEntrySize = xtAlign(sizeof(ipt_entry));                                   // 112
constexpr int kTargetSize = xtAlign(sizeof(xt_standard_target));                         // 40
constexpr int kMacMatchSize = xtAlign(sizeof(xt_entry_match) + sizeof(xt_mac_info));     // 48
constexpr int kMultiportMatchSize = xtAlign(sizeof(xt_entry_match) + sizeof(xt_multiport_v1));  // 80
static_assert(kEntrySize == 112 && kTargetSize == 40, "entry layout of the kernel");
static_assert(kEntrySize + kMacMatchSize + kTargetSize == 200, "MAC rule size");
static_assert(kEntrySize + kMultiportMatchSize + kTargetSize == 232, "port rule size");
static_assert(kFilterEntryMaxSize == 232, "largest rule");

ipt_entry* startEntry(uint8_t* out, int matchSize, uint16_t protocol) {
  std::memset(out, 0, kFilterEntryMaxSize);
  ipt_entry* entry = reinterpret_cast<ipt_entry*>(out);
  entry->ip.proto = protocol;
  entry->target_offset = static_cast<uint16_t>(kEntrySize + matchSize);
  entry->next_offset = static_cast<uint16_t>(kEntrySize + matchSize + kTargetSize);
  return entry;
}

int finishEntry(uint8_t* out, const char* verdict) {
  ipt_entry* entry = reinterpret_cast<ipt_entry*>(out);
  xt_entry_target* target = reinterpret_cast<xt_entry_target*>(out + entry->target_offset);
  target->u.user.target_size = kTargetSize;
  std::snprintf(target->u.user.name, sizeof target->u.user.name, "%s", verdict);
  return entry->next_offset;
}

Param* find(const char* key, int index = NO_INDEX) { return paramStore.find(key, -1, index); }

bool on(const char* key, int index = NO_INDEX) {
  Param* p = find(key, index);
  return p && p->isOn();
}

void setAndKeep(Param* p, const char* value) {
  if (!p) return;
  p->set(value);
  p->clearModified();
}

// The host's own firewall is never touched: away from the appliance (a
// data root is set) the filter works only inside a network namespace of
// its own.
bool filterAllowed() {
  if (dataRoot().empty()) return true;
  struct stat own {};
  struct stat first {};
  if (::stat("/proc/self/ns/net", &own) != 0) return false;
  if (::stat("/proc/1/ns/net", &first) != 0) return true;  // pid 1 out of sight: another namespace
  return own.st_ino != first.st_ino || own.st_dev != first.st_dev;
}

// Opens the table; null when it cannot be (reported once per call).
xtc_handle* openTable() {
  if (!filterAllowed()) return nullptr;
  xtc_handle* handle = iptc_init(kTable);
  if (!handle) std::fprintf(stderr, "iptc_init(%s): %s\n", kTable, iptc_strerror(errno));
  return handle;
}

// Commits and frees: true when the commit went through.
bool commitTable(xtc_handle* handle) {
  const bool ok = iptc_commit(handle) != 0;
  if (!ok) std::fprintf(stderr, "iptc_commit(%s): %s\n", kTable, iptc_strerror(errno));
  iptc_free(handle);
  return ok;
}

int installAddressRules() {
  xtc_handle* handle = openTable();
  if (!handle) return 0;
  int appended = 0;
  const int highest = paramStore.highestIndex("ip_filter_", 10);
  for (int n = 1; n <= highest; ++n) {
    Param* pattern = find("ip_filter_", n);
    if (!on("ip_filter_on_", n) || !pattern || !pattern->hasValue()) continue;
    uint32_t address = 0;
    uint32_t mask = 0;
    if (!parseIpFilterPattern(pattern->displayText().c_str(), &address, &mask, nullptr)) continue;
    uint8_t entry[kFilterEntryMaxSize];
    buildAddressAcceptEntry(entry, address, mask);
    if (iptc_append_entry(kChain, reinterpret_cast<ipt_entry*>(entry), handle)) ++appended;
  }
  return commitTable(handle) ? appended : 0;
}

int installMacRules() {
  xtc_handle* handle = openTable();
  if (!handle) return 0;
  int appended = 0;
  const int highest = paramStore.highestIndex("hw_filter_", 10);
  for (int n = 1; n <= highest; ++n) {
    Param* mac = find("hw_filter_", n);
    if (!on("hw_filter_on_", n) || !mac || !mac->hasValue()) continue;
    unsigned int b[6];
    if (std::sscanf(mac->displayText().c_str(), "%2x:%2x:%2x:%2x:%2x:%2x", &b[0], &b[1], &b[2], &b[3], &b[4],
                    &b[5]) != 6)
      continue;
    const uint8_t bytes[6] = {static_cast<uint8_t>(b[0]), static_cast<uint8_t>(b[1]), static_cast<uint8_t>(b[2]),
                              static_cast<uint8_t>(b[3]), static_cast<uint8_t>(b[4]), static_cast<uint8_t>(b[5])};
    uint8_t entry[kFilterEntryMaxSize];
    buildMacAcceptEntry(entry, bytes);
    if (iptc_append_entry(kChain, reinterpret_cast<ipt_entry*>(entry), handle)) ++appended;
  }
  return commitTable(handle) ? appended : 0;
}

}  // namespace

int buildAddressAcceptEntry(uint8_t* out, uint32_t address, uint32_t mask) {
  ipt_entry* entry = startEntry(out, 0, 0);
  entry->ip.src.s_addr = address & mask;
  entry->ip.smsk.s_addr = mask;
  return finishEntry(out, "ACCEPT");
}

int buildMacAcceptEntry(uint8_t* out, const uint8_t mac[6]) {
  startEntry(out, kMacMatchSize, 0);
  xt_entry_match* match = reinterpret_cast<xt_entry_match*>(out + kEntrySize);
  match->u.user.match_size = kMacMatchSize;
  std::snprintf(match->u.user.name, sizeof match->u.user.name, "%s", "mac");
  xt_mac_info* info = reinterpret_cast<xt_mac_info*>(match->data);
  std::memcpy(info->srcaddr, mac, 6);
  info->invert = 0;
  return finishEntry(out, "ACCEPT");
}

int buildDropEntry(uint8_t* out, const char* level, uint16_t port1, uint16_t port2) {
  if (!level) return 0;
  if (std::strcmp(level, "protec_zov") == 0) {
    startEntry(out, kMultiportMatchSize, IPPROTO_TCP);
    xt_entry_match* match = reinterpret_cast<xt_entry_match*>(out + kEntrySize);
    match->u.user.match_size = kMultiportMatchSize;
    match->u.user.revision = 1;
    std::snprintf(match->u.user.name, sizeof match->u.user.name, "%s", "multiport");
    xt_multiport_v1* ports = reinterpret_cast<xt_multiport_v1*>(match->data);
    ports->flags = XT_MULTIPORT_DESTINATION;
    ports->count = 2;
    ports->ports[0] = port1;
    ports->ports[1] = port2;
    return finishEntry(out, "DROP");
  }
  if (std::strcmp(level, "protec_tcp") == 0) {
    startEntry(out, 0, IPPROTO_TCP);
    return finishEntry(out, "DROP");
  }
  if (std::strcmp(level, "protec_all") == 0) {
    startEntry(out, 0, 0);
    return finishEntry(out, "DROP");
  }
  return 0;
}

int flushPacketFilter() {
  xtc_handle* handle = openTable();
  if (!handle) return 0;
  iptc_flush_entries(kChain, handle);
  commitTable(handle);
  return 1;
}

int appendFilterDropRule() {
  P3List* level = paramStore.findList("protection_level");
  IntParam* zovPort = paramStore.findInt("zov_port");
  IntParam* sslPort = paramStore.findInt("zov_sslport");
  uint8_t entry[kFilterEntryMaxSize];
  if (!buildDropEntry(entry, level ? level->currentKey() : "", static_cast<uint16_t>(zovPort ? zovPort->value() : 0),
                      static_cast<uint16_t>(sslPort ? sslPort->value() : 0)))
    return 0;
  xtc_handle* handle = openTable();
  if (!handle) return 0;
  if (!iptc_append_entry(kChain, reinterpret_cast<ipt_entry*>(entry), handle)) {
    iptc_free(handle);
    return 0;
  }
  return commitTable(handle) ? 1 : 0;
}

int applyPacketFilter() {
  flushPacketFilter();
  Param* protection = find("protection");
  P3List* test = paramStore.findList("protection_test");
  const bool trial = test && test->equals("test");

  if (!on("protection")) {
    if (trial) {
      setAndKeep(test, "on");
      paramStore.save(kParamFile);
    }
    return 0;
  }
  if (trial) {
    // The previous start ran the filter on trial and nobody confirmed it.
    setAndKeep(protection, "off");
    setAndKeep(test, "on");
    paramStore.save(kParamFile);
    return 0;
  }
  if (test && test->equals("on")) {
    setAndKeep(test, "test");
    paramStore.save(kParamFile);
  }

  const int accepted = installAddressRules() + installMacRules();
  if (accepted == 0) return 0;  // no DROP without an ACCEPT: an empty list never blocks the device
  appendFilterDropRule();
  return 1;
}
