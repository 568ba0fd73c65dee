#include "params/support/param_fixture.h"

#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "params/types/paramflags.h"
#include "runtime/file/paths.h"

namespace fs = std::filesystem;

TempDataRoot::TempDataRoot() {
  std::string pattern = (fs::temp_directory_path() / "pstore-XXXXXX").string();
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) != nullptr) dir_ = buffer.data();
  fs::create_directories(dir_ + "/etc");
  fs::create_directories(dir_ + "/var/slot1");
  setDataRoot(dir_.c_str());
}

TempDataRoot::~TempDataRoot() {
  setDataRoot("");
  std::error_code ec;
  if (!dir_.empty()) fs::remove_all(dir_, ec);
}

bool writeWholeFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  return static_cast<bool>(out);
}

FixtureStore::FixtureStore(std::vector<Param*> params) {
  for (Param* p : params) owned_.emplace_back(p);
  std::sort(owned_.begin(), owned_.end(), [](const std::unique_ptr<Param>& a, const std::unique_ptr<Param>& b) {
    return std::strcmp(a->key(), b->key()) < 0;
  });
  for (auto& p : owned_) items_.push_back(p.get());
  store_.reset(new ParamStore(items_.data(), static_cast<int>(items_.size())));
}

Param* FixtureStore::raw(const char* key) const {
  for (const auto& p : owned_) {
    if (std::strcmp(p->key(), key) == 0) return p.get();
  }
  return nullptr;
}

const ChoiceRow kZoneRows[] = {
    {"optgroup", "UTC-10:00", ""},
    {"HAST/HADT (US)", "HAST/HADT (US)", "UTC-10:00 US"},
    {"CST", "CST", "UTC-10:00"},
    {"optgroup", "UTC+1:00", ""},
    {"CET/CEST (EU)", "CET/CEST (EU)", "UTC+1:00 EU"},
    {"CST", "CST", "UTC+1:00"},
};
const int kZoneRowCount = 6;

const ChoiceRow kRelayControlRows[] = {
    {"fix", "Fixed", ""},
    {"stat", "Status", ""},
    {"eve", "Events", ""},
};
const int kRelayControlRowCount = 3;

namespace {

const ParamLimits kName = {0, 64};
const ParamLimits kPassword = {8, 64};
const ParamLimits kTwo = {2, 2};
const ParamLimits kPercent = {0, 100};

const ChoiceRow kOffOnRows[] = {{"off", "Off", ""}, {"on", "On", ""}};

IpAddress ip4(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  IpAddress address;
  address.fromIp4Bytes(a, b, c, d);
  return address;
}

const uint8_t kZeroMac[6] = {0, 0, 0, 0, 0, 0};

}  // namespace

std::vector<Param*> standardRows() {
  return {
      new StringParam("admin_pwd", "", &kPassword, PF_SECRET | PF_RESTART),
      new StringParam("any_name", "User", &kName, PF_RESTART),
      new OnOffParam("autoSync", 1, FEATURE_SDBACKUP | PF_IMMEDIATE),
      new IntParam("button_cnt", KIND_ANY, nullptr, PF_NOREPORT | PF_VOLATILE, 0),
      new IntParam("cpuLoadPoll", KIND_RANGED, &kPercent, PF_NOSNMP | PF_IMMEDIATE, 1),
      new StringParam("disp_def", "DS", &kTwo, FEATURE_DISPLAY | PF_IMMEDIATE),
      new OnOffParam("disp_lnk", 1, FEATURE_DISPLAY | PF_IMMEDIATE),
      new OnOffParam("disp_pwr", 1, FEATURE_DISPLAY | PF_IMMEDIATE),
      new OnOffParam("disp_sdc", 1, FEATURE_DISPLAY | PF_IMMEDIATE),
      new OnOffParam("dns", 1, PF_RESTART),
      new MacParam("hw_filter_1", kZeroMac, KIND_ANY, nullptr, 0),
      new Ip4Param("ip_addr", ip4(0, 0, 0, 0), KIND_ANY, nullptr, 0),
      new Ip6Address("ipv6_addr", "::", KIND_ANY, nullptr, PF_RESTART),
      new IntParam("life", KIND_ANY, nullptr, PF_NOREPORT | PF_IMMEDIATE, 0),
      new StringParam("netcon", "", &kName, PF_HIDDEN),
      new P3List("ntp_tzone", "CET/CEST (EU)", kZoneRowCount, kZoneRows, PF_SNMP_TEXT | PF_RESTART),
      new P3List("relay_ctrl", "fix", kRelayControlRowCount, kRelayControlRows, FEATURE_RELAY | PF_IMMEDIATE),
      new P3List("relay_eve_net", "off", 2, kOffOnRows, FEATURE_RELAY | PF_IMMEDIATE),
      new IntParam("relay_eves", KIND_ANY, nullptr, PF_NOREPORT | PF_VOLATILE | PF_IMMEDIATE, 0),
      new OnOffParam("relay_on", 0, FEATURE_RELAY | PF_IMMEDIATE),
      new P3List("relay_stat_net", "off", 2, kOffOnRows, FEATURE_RELAY | PF_IMMEDIATE),
      new OnOffParam("sessKeys", 0, PF_IMMEDIATE),
      new IntParam("sw_features", KIND_ANY, nullptr, PF_NOREPORT | PF_VOLATILE, 0),
      new StringParam("usb_owner_1", "", &kName, PF_NOREPORT),
      new StringParam("usb_owner_2", "", &kName, PF_NOREPORT),
      new StringParam("usb_owner_3", "", &kName, PF_NOREPORT | PF_NOSNMP),
      new StringParam("user_name_1", "alice", &kName, 0),
      new StringParam("user_pwd_1", "secret", &kName, PF_SECRET),
      new OnOffParam("zov_poff_1", 0, FEATURE_POSWITCH | PF_IMMEDIATE),
      new OnOffParam("zov_poff_2", 0, FEATURE_POSWITCH | PF_IMMEDIATE),
      new OnOffParam("zov_poff_9", 0, FEATURE_POSWITCH | PF_IMMEDIATE),
      new IntParam("zov_poffdura_1", KIND_RANGED, &kPercent, FEATURE_POSWITCH | PF_IMMEDIATE, 0),
  };
}
