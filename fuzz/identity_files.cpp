// Fuzzes the reader of the identity files ("key=value" lines) and the
// decoding of the installed software header, then the template texts.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "params/identity/firmwareparams.h"
#include "params/identity/identitytexts.h"
#include "params/identity/productparams.h"
#include "params/identity/softwareinfo.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::FILE* file = fmemopen(const_cast<uint8_t*>(data), size, "r");
  if (!file) return 0;
  parseProductParams(file, productParams());
  std::rewind(file);
  parseFirmwareParams(file, firmwareParams());
  std::fclose(file);

  softwareInfo() = SoftwareInfo{};
  decodeSoftwareInfo(data, size, softwareInfo());

  static const char* const kKeys[] = {"product_id", "compat_id", "product_name", "default_name",
                                      "hw_address", "usb_ports_phy", "version", "firmware_version",
                                      "creation_time", "nothing"};
  char text[64];
  for (const char* key : kKeys) {
    getProductInfoText(key, text, sizeof text);
    getSoftwareInfoText(key, text, sizeof text);
    getFirmwareInfoText(key, text, sizeof text);
  }
  return 0;
}
