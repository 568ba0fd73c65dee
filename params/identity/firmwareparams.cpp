#include "params/identity/firmwareparams.h"

#include <cstring>

#include "params/identity/identityfile.h"

namespace {

void applyFirmwareLine(void* target, const char* line, const char* value) {
  FirmwareParams& record = *static_cast<FirmwareParams*>(target);
  if (identityKeyStarts(line, "compat_id")) {
    record.compat_id = identityNumber(value, 16);
  } else if (identityKeyStarts(line, "compat_level")) {
    record.compat_level = identityNumber(value, 10);
  } else if (identityKeyStarts(line, "firmware_version")) {
    record.firmware_version = identityNumber(value, 10);
  } else if (identityKeyStarts(line, "creation_time")) {
    record.creation_time = identityNumber(value, 10);
  }
}

FirmwareParams loadDeviceRecord() {
  FirmwareParams record;
  readFirmwareParams(record);
  return record;
}

[[maybe_unused]] const bool kLoadedBeforeMain = (firmwareParams(), true);

}  // namespace

void parseFirmwareParams(std::FILE* file, FirmwareParams& record) {
  std::memset(&record, 0, sizeof record);
  readIdentityLines(file, applyFirmwareLine, &record);
}

void readFirmwareParams(FirmwareParams& record) {
  std::memset(&record, 0, sizeof record);
  readIdentityFile("/conf.d/firmware_params", applyFirmwareLine, &record);
}

FirmwareParams& firmwareParams() {
  static FirmwareParams record = loadDeviceRecord();
  return record;
}
