// The identity of the installed firmware, read from
// "/conf.d/firmware_params" once before main and never written.
#ifndef PARAMS_IDENTITY_FIRMWAREPARAMS_H
#define PARAMS_IDENTITY_FIRMWAREPARAMS_H

#include <cstdint>
#include <cstdio>

struct FirmwareParams {
  uint32_t compat_id;  // hexadecimal in the file
  uint32_t compat_level;
  uint32_t firmware_version;
  uint32_t creation_time;
};

// Clears the record and reads "/conf.d/firmware_params" into it; a missing
// file leaves it cleared.
void readFirmwareParams(FirmwareParams& record);

// Clears the record and reads identity lines from an open stream.
void parseFirmwareParams(std::FILE* file, FirmwareParams& record);

// The device's record, read on first use (which is before main).
FirmwareParams& firmwareParams();

#endif
