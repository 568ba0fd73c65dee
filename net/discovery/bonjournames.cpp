// The responder's names: the instance name from `bonjour_name` or the
// identity, its conflict number, and the host label.
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "net/discovery/bonjourtask.h"
#include "params/identity/productparams.h"
#include "params/store/paramstore.h"
#include "params/types/stringparam.h"

namespace {

std::string bonjourNameParam() {
  StringParam* name = paramStore.findString("bonjour_name");
  return name ? name->getText() : std::string();
}

}  // namespace

void BonjourTask::resetState(bool full) {
  packetCount_ = 0;
  used_ = 0;
  dueCs_ = 0;
  probeState_ = -1;
  probeCycles_ = 0;
  if (!full) return;
  {
    std::lock_guard<std::mutex> lock(mdnsInstanceNameMutex());
    mdnsPrimaryInstanceBuffer()[0] = 0;
  }
  mdnsServices[2].instanceName[0] = 0;
  counter_ = 0;
  copyLabelText(hostName_, productParams().default_name, kMdnsMaxLabel);
}

void BonjourTask::loadInstanceCounter() {
  char* primary = mdnsPrimaryInstanceBuffer();
  const std::string configured = bonjourNameParam();
  {
    std::lock_guard<std::mutex> lock(mdnsInstanceNameMutex());
    copyLabelText(primary, configured.c_str(), kMdnsNameBufferSize - 1);
  }
  char copy[kMdnsNameBufferSize];
  std::memcpy(copy, primary, sizeof copy);
  const int suffix = parseConflictSuffix(copy, false);
  if (suffix > counter_) counter_ = suffix;
}

void BonjourTask::buildInstanceName() {
  char* primary = mdnsPrimaryInstanceBuffer();
  const std::string configured = bonjourNameParam();
  std::lock_guard<std::mutex> lock(mdnsInstanceNameMutex());
  const ProductParams& product = productParams();
  char text[2 * ProductParams::kTextSize + 2];
  if (configured.empty()) {
    std::snprintf(text, sizeof text, "%s@%s", product.product_name, product.default_name);
    copyLabelText(primary, text, kMdnsMaxLabel);
    return;
  }
  if (product.default_name[0] && configured.find(product.default_name) != std::string::npos) {
    copyLabelText(primary, configured.c_str(), kMdnsMaxLabel);
    return;
  }
  copyLabelText(text, configured.c_str(), kMdnsNameBufferSize - 1);
  parseConflictSuffix(text, true);
  if (counter_ < 2 || counter_ > 99) counter_ = 2;
  char suffix[8];
  const int suffixLength = std::snprintf(suffix, sizeof suffix, " (%d)", counter_);
  const size_t baseLength = copyLabelText(primary, text, kMdnsMaxLabel - suffixLength);
  std::memcpy(primary + baseLength, suffix, static_cast<size_t>(suffixLength) + 1);
}

void BonjourTask::renameAfterConflict() {
  const std::string configured = bonjourNameParam();
  const char* device = productParams().default_name;
  if (configured.empty() || (device[0] && configured.find(device) != std::string::npos)) return;
  ++counter_;
  buildInstanceName();
}
