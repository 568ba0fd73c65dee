// The parameter-file loader over arbitrary bytes, on a small store of every
// parameter class.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "params/store/paramstore.h"
#include "params/types/param.h"
#include "params/types/paramflags.h"

namespace {

const ParamLimits kName = {0, 64};
const ParamLimits kPassword = {8, 64};
const ParamLimits kPercent = {0, 100};
const ParamLimits kTwo = {2, 2};
const ChoiceRow kRows[] = {{"optgroup", "UTC+1:00", ""}, {"CET/CEST (EU)", "CET", "UTC+1:00 EU"},
                           {"CST", "CST", "UTC+1:00"},   {"CST", "CST", "UTC-6:00"}};

struct SmallStore {
  std::vector<std::unique_ptr<Param>> owned;
  std::vector<Param*> items;
  std::unique_ptr<ParamStore> store;

  SmallStore() {
    IpAddress zero;
    const uint8_t mac[6] = {0, 1, 2, 3, 4, 5};
    // In key order.
    add(new StringParam("admin_pwd", "", &kPassword, PF_SECRET | PF_RESTART));
    add(new StringParam("any_name", "User", &kName, PF_RESTART));
    add(new IntParam("button_cnt", KIND_ANY, nullptr, PF_VOLATILE, 0));
    add(new IntParam("cpuLoadPoll", KIND_RANGED, &kPercent, PF_IMMEDIATE, 1));
    add(new StringParam("disp_def", "DS", &kTwo, PF_IMMEDIATE));
    add(new OnOffParam("dns", 1, PF_RESTART));
    add(new MacParam("hw_filter_1", mac, KIND_ANY, nullptr, 0));
    add(new Ip4Param("ip_addr", zero, KIND_ANY, nullptr, 0));
    add(new Ip6Address("ipv6_addr", "::", KIND_ANY, nullptr, 0));
    add(new IntParam("life", KIND_ANY, nullptr, PF_IMMEDIATE, 0));
    add(new StringParam("netcon", "", &kName, PF_HIDDEN));
    add(new P3List("ntp_tzone", "CST", 4, kRows, PF_SNMP_TEXT));
    add(new OnOffParam("sessKeys", 0, PF_IMMEDIATE));
    store.reset(new ParamStore(items.data(), static_cast<int>(items.size())));
  }
  void add(Param* p) {
    owned.emplace_back(p);
    items.push_back(p);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static SmallStore small;
  if (size == 0) return 0;
  std::string copy(reinterpret_cast<const char*>(data), size);
  FILE* in = fmemopen(&copy[0], copy.size(), "r");
  if (in == nullptr) return 0;
  small.store->load(in);
  std::fclose(in);
  for (Param* p : small.items) {
    std::string shown = p->displayText();
    std::string saved = p->savedText();
    // What is stored must be a single clean line of the file.
    if (saved.find('\n') != std::string::npos || saved.find('\r') != std::string::npos) __builtin_trap();
  }
  small.store->resetModified();
  return 0;
}
