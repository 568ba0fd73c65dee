#include "params/table/features.h"

#include "params/store/paramstore.h"
#include "params/types/intparam.h"
#include "params/types/paramflags.h"
#include "runtime/text/textutil.h"

namespace {

struct FeatureRow {
    const char* name;
    int (*available)(uint32_t features);  // null: always available
};

int withEmail(uint32_t f) { return (f & FEATURE_EMAIL) != 0; }
int withWlan(uint32_t f) { return (f & FEATURE_WLAN) != 0; }
int withPowerSwitch(uint32_t f) { return (f & FEATURE_POSWITCH) != 0; }
int withAccessControl(uint32_t f) { return (f & FEATURE_ACCCTRL) != 0; }
int withIp4Vlan(uint32_t f) { return (f & FEATURE_IP4VLAN) != 0; }
int withCompression(uint32_t f) { return (f & FEATURE_UCOMP) != 0; }
int never(uint32_t) { return 0; }

const FeatureRow kFeatures[] = {
    {"ZOVSSL", nullptr},
    {"IPTABLES", nullptr},
    {"NTP", nullptr},
    {"SNMPD", nullptr},
    {"BONJOUR", nullptr},
    {"WPASUP", nullptr},
    {"EMAIL", withEmail},
    {"WLAN", withWlan},
    {"PEL", nullptr},
    {"POSWITCH", withPowerSwitch},
    {"ACCCTRL", withAccessControl},
    {"IP4VLAN", withIp4Vlan},
    {"TRAPS", withEmail},
    {"UTAGS", nullptr},
    {"UCOMP", withCompression},
    {"SYSLOG", never},  // the remote syslog client cannot be switched on
};

}  // namespace

int featureAvailableWith(const char* name, uint32_t features) {
    for (const FeatureRow& row : kFeatures) {
        if (compareNoCase(name, row.name) != 0) continue;
        if (!row.available || row.available(features)) return 1;
    }
    return 0;
}

int isFeatureAvailable(const char* name) {
    uint32_t features = 0;
    if (IntParam* p = paramStore.findInt("sw_features")) features = static_cast<uint32_t>(p->value());
    return featureAvailableWith(name, features);
}
