#include "params/identity/identitytexts.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "params/identity/firmwareparams.h"
#include "params/identity/productparams.h"
#include "params/identity/softwareinfo.h"

namespace {

const char kUnknownKeyText[] = " -- 2Do --";

template <typename Record>
struct NumberText {
  const char* key;
  uint32_t Record::*field;
};

// snprintf into a buffer that may be null or empty (then only measured).
template <typename... Args>
int formatInto(char* buffer, size_t size, const char* format, Args... args) {
  if (!buffer) size = 0;
  return std::snprintf(size ? buffer : nullptr, size, format, args...);
}

// Numbers are shown with "%d", as the pages always did.
template <typename Record, size_t N>
bool formatNumber(const NumberText<Record> (&table)[N], const Record& record, const char* key, char* buffer,
                  size_t size, int& result) {
  for (const NumberText<Record>& row : table) {
    if (std::strcmp(key, row.key) == 0) {
      result = formatInto(buffer, size, "%d", static_cast<int>(record.*(row.field)));
      return true;
    }
  }
  return false;
}

const NumberText<ProductParams> kProductNumbers[] = {
    {"product_id", &ProductParams::product_id},
    {"compat_id", &ProductParams::compat_id},
    {"oem_id", &ProductParams::oem_id},
    {"year", &ProductParams::year},
    {"month", &ProductParams::month},
    {"serial_no", &ProductParams::serial_no},
    {"creation_time", &ProductParams::creation_time},
    {"hw_project", &ProductParams::hw_project},
    {"usb_ports_phy", &ProductParams::usb_ports_phy},
    {"hw_major", &ProductParams::hw_major},
    {"hw_minor", &ProductParams::hw_minor},
};

const NumberText<SoftwareInfo> kSoftwareNumbers[] = {
    {"compat_id", &SoftwareInfo::compat_id},
    {"compat_level", &SoftwareInfo::compat_level},
    {"version", &SoftwareInfo::version},
    {"release", &SoftwareInfo::release},
    {"subrelease", &SoftwareInfo::subrelease},
    {"creation_time", &SoftwareInfo::creation_time},
};

const NumberText<FirmwareParams> kFirmwareNumbers[] = {
    {"firmware_version", &FirmwareParams::firmware_version},
    {"compat_id", &FirmwareParams::compat_id},
    {"compat_level", &FirmwareParams::compat_level},
    {"creation_time", &FirmwareParams::creation_time},
};

}  // namespace

int getProductInfoText(const char* key, char* buffer, size_t size) {
  if (!key) key = "";
  const ProductParams& record = productParams();
  int result = 0;
  if (formatNumber(kProductNumbers, record, key, buffer, size, result)) return result;
  if (std::strcmp(key, "product_name") == 0 || std::strcmp(key, "product_icon") == 0)
    return formatInto(buffer, size, "%s", record.product_name);
  if (std::strcmp(key, "default_name") == 0) return formatInto(buffer, size, "%s", record.default_name);
  if (std::strcmp(key, "hw_address") == 0) {
    const uint8_t* mac = record.ethaddr0;
    return formatInto(buffer, size, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
  }
  return formatInto(buffer, size, "%s", kUnknownKeyText);
}

int getSoftwareInfoText(const char* key, char* buffer, size_t size) {
  if (!key) key = "";
  int result = 0;
  if (formatNumber(kSoftwareNumbers, softwareInfo(), key, buffer, size, result)) return result;
  return formatInto(buffer, size, "%s", kUnknownKeyText);
}

int getFirmwareInfoText(const char* key, char* buffer, size_t size) {
  if (!key) key = "";
  int result = 0;
  if (formatNumber(kFirmwareNumbers, firmwareParams(), key, buffer, size, result)) return result;
  return formatInto(buffer, size, "%s", kUnknownKeyText);
}
