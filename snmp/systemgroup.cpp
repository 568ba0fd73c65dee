// "ORV-System": identity values of the device and the control object.
#include <cstdio>
#include <cstring>

#include "params/identity/firmwareparams.h"
#include "params/identity/productparams.h"
#include "params/identity/softwareinfo.h"
#include "params/store/paramstore.h"
#include "params/types/snmpset.h"
#include "snmp/privatemib.h"
#include "snmp/systemgroup.h"

namespace {

enum SystemObject : uint16_t {
  PRODUCT_TEXT = 2,
  DEFAULT_NAME,
  MAC_ADDRESS,
  HW_PROJECT,
  PRODUCT_ID,
  FIRMWARE_VERSION,
  COMPAT_ID,
  COMPAT_LEVEL,
  SERIAL_NO,
  YEAR,
  MONTH,
  SW_VERSION,
  SW_RELEASE,
  SW_SUBRELEASE,
  HW_MAJOR,
  HW_MINOR,
  SOFTWARE_ID,
  PORT_COUNT,
  CONTROL,
};

bool (*shutDownStarter)(int delaySeconds) = nullptr;

// The product and version text, made on first use.
const char* productText() {
  static char text[2 * ProductParams::kTextSize];
  static bool made = false;
  if (!made) {
    const SoftwareInfo& sw = softwareInfo();
    std::snprintf(text, sizeof text, "ORV %s; version %d.%d.%d", productParams().product_name,
                  static_cast<int>(sw.version), static_cast<int>(sw.release), static_cast<int>(sw.subrelease));
    made = true;
  }
  return text;
}

uint32_t integerValue(unsigned number) {
  const ProductParams& p = productParams();
  const SoftwareInfo& sw = softwareInfo();
  switch (number) {
    case HW_PROJECT: return p.hw_project;
    case PRODUCT_ID: return p.product_id;
    case FIRMWARE_VERSION: return firmwareParams().firmware_version;
    case COMPAT_ID: return p.compat_id;
    case COMPAT_LEVEL: return firmwareParams().compat_level;
    case SERIAL_NO: return p.serial_no;
    case YEAR: return p.year;
    case MONTH: return p.month;
    case SW_VERSION: return sw.version;
    case SW_RELEASE: return sw.release;
    case SW_SUBRELEASE: return sw.subrelease;
    case HW_MAJOR: return p.hw_major;
    case HW_MINOR: return p.hw_minor;
    case SOFTWARE_ID: return sw.software_id;
    case PORT_COUNT: return static_cast<uint32_t>(p.printer_ports);
    default: return 0;
  }
}

}  // namespace

#define SYSTEM_INTEGER(number, ...) \
  {number, ASN_INTEGER, MIB_READ_ONLY, findSystemGroupVariable, 3, {__VA_ARGS__}}

const OrvMibVariable systemGroupVariables[kSystemGroupVariableCount] = {
    {PRODUCT_TEXT, ASN_OCTET_STR, MIB_READ_ONLY, findSystemGroupVariable, 2, {1, 1}},
    {DEFAULT_NAME, ASN_OCTET_STR, MIB_READ_ONLY, findSystemGroupVariable, 3, {2, 1, 2}},
    {MAC_ADDRESS, ASN_OCTET_STR, MIB_READ_ONLY, findSystemGroupVariable, 3, {2, 1, 3}},
    SYSTEM_INTEGER(HW_PROJECT, 2, 1, 4),
    SYSTEM_INTEGER(PRODUCT_ID, 2, 1, 5),
    SYSTEM_INTEGER(FIRMWARE_VERSION, 2, 1, 6),
    SYSTEM_INTEGER(COMPAT_ID, 2, 1, 7),
    SYSTEM_INTEGER(COMPAT_LEVEL, 2, 1, 8),
    SYSTEM_INTEGER(SERIAL_NO, 2, 1, 9),
    SYSTEM_INTEGER(YEAR, 2, 1, 10),
    SYSTEM_INTEGER(MONTH, 2, 1, 11),
    SYSTEM_INTEGER(SW_VERSION, 2, 1, 12),
    SYSTEM_INTEGER(SW_RELEASE, 2, 1, 13),
    SYSTEM_INTEGER(SW_SUBRELEASE, 2, 1, 14),
    SYSTEM_INTEGER(HW_MAJOR, 2, 1, 16),
    SYSTEM_INTEGER(HW_MINOR, 2, 1, 17),
    SYSTEM_INTEGER(SOFTWARE_ID, 2, 1, 33),
    SYSTEM_INTEGER(PORT_COUNT, 2, 2, 1),
    {CONTROL, ASN_INTEGER, MIB_READ_WRITE, findSystemGroupVariable, 3, {2, 8, 1}},
};

u_char* findSystemGroupVariable(const OrvMibObject* object, oid* name, size_t* length, int exact,
                                size_t* varLength, WriteMethod** writeMethod) {
  thread_local int32_t word;
  const unsigned number = object->variable->magic;
  if (orvMibHeaderGeneric(object, name, length, exact, varLength, writeMethod) == MIB_MATCH_FAILED) {
    // The control object is written at any instance, read only at .0.
    if (number == CONTROL) *writeMethod = writeRestartControl;
    return nullptr;
  }
  switch (number) {
    case PRODUCT_TEXT: {
      const char* text = productText();
      *varLength = std::strlen(text);
      return reinterpret_cast<u_char*>(const_cast<char*>(text));
    }
    case DEFAULT_NAME: {
      char* text = productParams().default_name;
      *varLength = strnlen(text, ProductParams::kTextSize);
      return reinterpret_cast<u_char*>(text);
    }
    case MAC_ADDRESS:
      *varLength = 6;
      return productParams().ethaddr0;
    case CONTROL:
      word = 0;
      *varLength = sizeof word;
      *writeMethod = writeRestartControl;
      return reinterpret_cast<u_char*>(&word);
    default:
      if (number < HW_PROJECT || number > PORT_COUNT) return nullptr;
      word = static_cast<int32_t>(integerValue(number));
      *varLength = sizeof word;
      return reinterpret_cast<u_char*>(&word);
  }
}

int writeRestartControl(int action, u_char* value, u_char, size_t length, u_char*, oid*, size_t) {
  // Only COMMIT acts: by then every variable of the SET has passed its
  // ACTION, so a SET that fails elsewhere restarts nothing. The value is
  // read as an integer of its own length, whatever its type; an empty one
  // is no command.
  if (action != SNMP_COMMIT || value == nullptr || length == 0) return SNMP_NO_ERROR;
  const int64_t command = readSnmpInteger(value, length);
  if (command == SNMP_CONTROL_FACTORY_RESET) {
    deleteParamFiles();
    restartDeviceFromSnmp();
  } else if (command == SNMP_CONTROL_RESTART) {
    restartDeviceFromSnmp();
  }
  return SNMP_NO_ERROR;
}

void setSnmpShutDownStarter(bool (*start)(int delaySeconds)) { shutDownStarter = start; }

void restartDeviceFromSnmp() {
  if (shutDownStarter == nullptr || !shutDownStarter(1))
    std::fprintf(stderr, "restartDeviceFromSnmp: no ShutDown task started\n");
}
