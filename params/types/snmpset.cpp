#include "params/types/snmpset.h"

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/library/asn1.h>
#include <net-snmp/library/snmp.h>
#include <net-snmp/library/snmp_impl.h>

#include <cstring>

#include "params/store/paramstore.h"
#include "params/types/parambase.h"

static_assert(SNMP_RESERVE1 == RESERVE1 && SNMP_RESERVE2 == RESERVE2 && SNMP_ACTION == ACTION &&
                  SNMP_COMMIT == COMMIT && SNMP_FREE == FREE && SNMP_UNDO == UNDO,
              "SET phases as net-snmp numbers them");
static_assert(SNMP_TYPE_INTEGER == ASN_INTEGER && SNMP_TYPE_OCTET_STRING == ASN_OCTET_STR &&
                  SNMP_TYPE_IPADDRESS == ASN_IPADDRESS && SNMP_TYPE_GAUGE32 == ASN_GAUGE,
              "ASN types as net-snmp numbers them");
static_assert(SNMP_NO_ERROR == SNMP_ERR_NOERROR && SNMP_NO_SUCH_NAME == SNMP_ERR_NOSUCHNAME &&
                  SNMP_NO_ACCESS == SNMP_ERR_NOACCESS && SNMP_WRONG_TYPE == SNMP_ERR_WRONGTYPE &&
                  SNMP_WRONG_LENGTH == SNMP_ERR_WRONGLENGTH && SNMP_WRONG_VALUE == SNMP_ERR_WRONGVALUE,
              "error statuses as net-snmp numbers them");

int64_t readSnmpInteger(const uint8_t* value, size_t length) {
  if (value == nullptr) return 0;
  if (length == sizeof(long)) {
    long v;
    std::memcpy(&v, value, sizeof v);
    return v;
  }
  int32_t v = 0;
  std::memcpy(&v, value, length < sizeof v ? length : sizeof v);
  return v;
}

int snmpCommit(const Param& param) {
  if (std::strcmp(param.key(), "ip_addr") == 0) {
    if (Param* setBy = paramStore.find("ip_setby")) setBy->set("snmp");
  }
  paramStore.commitAndSave();
  return SNMP_NO_ERROR;
}
