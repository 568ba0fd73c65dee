#include "params/identity/productparams.h"

#include <cstdio>
#include <cstring>

#include "params/identity/identityfile.h"

namespace {

struct NumberKey {
  const char* key;
  uint32_t ProductParams::*field;
};

// Keys matched at the beginning of the line, in this order, after the
// three ids and the two names; "ethaddr0" is tried before them and
// "device_types" after them, both anywhere in the line.
const NumberKey kDecimalKeys[] = {
    {"network_type", &ProductParams::network_type},
    {"phy0_addr", &ProductParams::phy0_addr},
    {"software_id", &ProductParams::software_id},
};

const NumberKey kLaterDecimalKeys[] = {
    {"usb_ports_phy", &ProductParams::usb_ports_phy},
    {"hw_major", &ProductParams::hw_major},
    {"hw_minor", &ProductParams::hw_minor},
    {"hw_project", &ProductParams::hw_project},
    {"gpio_hw_project", &ProductParams::gpio_hw_project},
    {"year", &ProductParams::year},
    {"month", &ProductParams::month},
    {"serial_no", &ProductParams::serial_no},
    {"creation_time", &ProductParams::creation_time},
    {"fpga_compat_id", &ProductParams::fpga_compat_id},
    {"fpga_compat_level", &ProductParams::fpga_compat_level},
    {"usbtable_product_id", &ProductParams::usbtable_product_id},
};

void readEthernetAddress(ProductParams& record, const char* value) {
  size_t length = std::strlen(value);
  for (size_t i = 0; i < sizeof record.ethaddr0; ++i) {
    // Pairs sit at 0, 3, 6, ...; a short value ends the address instead of
    // reading behind its end.
    if (3 * i >= length) break;
    unsigned int byte = 0;
    if (std::sscanf(value + 3 * i, "%02x", &byte) == 1) record.ethaddr0[i] = static_cast<uint8_t>(byte);
  }
}

void readDeviceTypes(ProductParams& record, const char* value) {
  copyIdentityText(record.device_types, sizeof record.device_types, value);
  // Length and counts describe the text kept in the record.
  record.printer_ports = static_cast<int32_t>(std::strlen(record.device_types));
  record.count_U = record.count_C = record.count_S = record.count_E = 0;
  for (const char* p = record.device_types; *p; ++p) {
    switch (*p) {
      case 'U': ++record.count_U; break;
      case 'C': ++record.count_C; break;
      case 'S': ++record.count_S; break;
      case 'E': ++record.count_E; break;
      default: break;
    }
  }
}

bool takeNumber(ProductParams& record, const NumberKey* keys, size_t count, const char* line, const char* value) {
  for (size_t i = 0; i < count; ++i) {
    if (identityKeyStarts(line, keys[i].key)) {
      record.*(keys[i].field) = identityNumber(value, 10);
      return true;
    }
  }
  return false;
}

void applyProductLine(void* target, const char* line, const char* value) {
  ProductParams& record = *static_cast<ProductParams*>(target);
  if (identityKeyStarts(line, "product_id")) {
    record.product_id = identityNumber(value, 10);
  } else if (identityKeyStarts(line, "compat_id")) {
    record.compat_id = identityNumber(value, 16);
  } else if (identityKeyStarts(line, "oem_id")) {
    record.oem_id = identityNumber(value, 16);
  } else if (identityKeyStarts(line, "product_name")) {
    copyIdentityText(record.product_name, sizeof record.product_name, value);
  } else if (identityKeyStarts(line, "default_name")) {
    copyIdentityText(record.default_name, sizeof record.default_name, value);
  } else if (std::strstr(line, "ethaddr0")) {
    readEthernetAddress(record, value);
  } else if (takeNumber(record, kDecimalKeys, sizeof kDecimalKeys / sizeof kDecimalKeys[0], line, value)) {
  } else if (identityKeyStarts(line, "printer_ports")) {
    record.printer_ports = static_cast<int32_t>(identityNumber(value, 10));
  } else if (takeNumber(record, kLaterDecimalKeys, sizeof kLaterDecimalKeys / sizeof kLaterDecimalKeys[0], line,
                        value)) {
  } else if (std::strstr(line, "device_types")) {
    readDeviceTypes(record, value);
  }
}

ProductParams loadDeviceRecord() {
  ProductParams record;
  readProductParams(record);
  return record;
}

// Read before main, like the other identity records.
[[maybe_unused]] const bool kLoadedBeforeMain = (productParams(), true);

}  // namespace

void parseProductParams(std::FILE* file, ProductParams& record) {
  std::memset(&record, 0, sizeof record);
  readIdentityLines(file, applyProductLine, &record);
}

void readProductParams(ProductParams& record) {
  std::memset(&record, 0, sizeof record);
  readIdentityFile("/conf.d/product_params", applyProductLine, &record);
}

ProductParams& productParams() {
  static ProductParams record = loadDeviceRecord();
  return record;
}
