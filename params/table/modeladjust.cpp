#include "params/table/modeladjust.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "params/identity/productparams.h"
#include "params/store/paramstore.h"
#include "params/types/intparam.h"
#include "params/types/paramflags.h"

namespace {

// Compatibility-id bits of the models with a WLAN interface.
constexpr uint32_t kWlanCompatBits = 0x4405a02;

constexpr uint32_t kMailOnly = FEATURE_EMAIL;
constexpr uint32_t kPortControl = FEATURE_EMAIL | FEATURE_ACCCTRL | FEATURE_POSWITCH;
constexpr uint32_t kPortControlVlan = kPortControl | FEATURE_IP4VLAN;

// A model whose identity file gives a wrong USB port count.
struct PortFix {
    uint32_t atLeast;    // a smaller count is raised to this
    uint32_t atMost;     // a larger count is lowered to this
    const char* report;  // printed with the function name and the new count
};

const PortFix kFixZovA = {4, UINT32_MAX, "%s BugFix ZOVA force usb_port_phy -> %d\n"};
const PortFix kFixZovB = {8, UINT32_MAX, "%s BugFix ZOVB force usb_port_phy -> %d\n"};
const PortFix kFixZovC = {0, 1, "%s BugFix ZOVC force usb_port_phy -> %d\n"};

struct ModelRow {
    uint32_t productId;
    uint32_t features;
    const PortFix* portFix;
    bool withoutWifiSwitch;  // WLAN always on: the `wifi` switch is hidden
};

const ModelRow kModels[] = {
    {326, 0, &kFixZovA, false},
    {328, kMailOnly, nullptr, false},
    {330, 0, nullptr, true},
    {332, kPortControlVlan, &kFixZovB, false},
    {336, FEATURE_EMAIL | FEATURE_BEEPER, nullptr, false},
    {337, kPortControl, nullptr, false},
    {339, kPortControlVlan, nullptr, false},
    {340, kMailOnly, nullptr, false},
    {341, kMailOnly, nullptr, false},
    {342, kMailOnly, nullptr, false},
    {345, kPortControl | FEATURE_UCOMP, &kFixZovC, false},
    {347, kPortControlVlan, nullptr, false},
    {348, kMailOnly, nullptr, false},
    {349, FEATURE_EMAIL | FEATURE_BEEPER, nullptr, false},
    {353,
     kPortControlVlan | FEATURE_DISPLAY | FEATURE_PWRLNK | FEATURE_BEEPER | FEATURE_SDBACKUP,
     nullptr, false},
    {354, kMailOnly, nullptr, false},
    {356, kPortControlVlan, nullptr, false},
    {357, 0, nullptr, true},
    {362, kMailOnly, nullptr, false},
    {363, kMailOnly, nullptr, false},
    {365, kPortControlVlan | FEATURE_PWRLNK | FEATURE_SDBACKUP | FEATURE_RELAY, nullptr, false},
    {366, kPortControlVlan, nullptr, false},
    {367, kPortControlVlan, nullptr, false},
};

const ModelRow* findModel(uint32_t productId) {
    for (const ModelRow& row : kModels)
        if (row.productId == productId) return &row;
    return nullptr;
}

void applyPortFix(const PortFix& fix, ProductParams& product) {
    uint32_t ports = product.usb_ports_phy;
    if (ports < fix.atLeast)
        ports = fix.atLeast;
    else if (ports > fix.atMost)
        ports = fix.atMost;
    else
        return;
    product.usb_ports_phy = ports;
    std::fprintf(stderr, fix.report, "setRuntimeEnv", static_cast<int>(ports));
}

Param* findIn(Param* const* items, int count, const char* key) {
    Param* const* end = items + count;
    Param* const* at = std::lower_bound(items, end, key, [](const Param* p, const char* k) {
        return std::strcmp(p->key(), k) < 0;
    });
    return (at != end && std::strcmp((*at)->key(), key) == 0) ? *at : nullptr;
}

void hide(Param* const* items, int count, const char* key) {
    if (Param* p = findIn(items, count, key)) p->addFlags(PF_HIDDEN);
}

void setNumber(Param* const* items, int count, const char* key, int32_t value) {
    Param* p = findIn(items, count, key);
    if (p && p->paramClass() == ParamClass::Int) static_cast<IntParam*>(p)->setChecked(value);
}

// The port number of a per-port key: the decimal number after its last '_'
// that has a character behind it; -1 when there is none.
long portIndexOf(const char* key) {
    const char* underscore = nullptr;
    for (const char* p = key; *p; ++p)
        if (*p == '_' && p[1]) underscore = p;
    int index = 0;
    if (!underscore || std::sscanf(underscore + 1, "%d", &index) != 1) return -1;
    return index;
}

bool modelLacks(const Param& p, uint32_t features, uint32_t ports) {
    const uint32_t flags = p.flags();
    const uint32_t required = flags & PF_FEATURE_MASK;
    if (required && (features & required) != required) return true;
    if (flags & PF_ALWAYS_HIDDEN) return true;
    if (flags & PF_PER_PORT) {
        const long index = portIndexOf(p.key());
        return index < 0 || static_cast<unsigned long>(index) > ports;
    }
    return false;
}

}  // namespace

uint32_t modelFeatures(ProductParams& product) {
    uint32_t features = (product.compat_id & kWlanCompatBits) ? FEATURE_WLAN : 0;
    if (const ModelRow* model = findModel(product.product_id)) {
        features |= model->features;
        if (model->portFix) applyPortFix(*model->portFix, product);
    }
    return features;
}

void adjustParametersToModel(ProductParams& product, Param* const* items, int count) {
    const uint32_t features = modelFeatures(product);
    const ModelRow* model = findModel(product.product_id);
    if (model && model->withoutWifiSwitch) hide(items, count, "wifi");

    setNumber(items, count, "zovPortNumber", product.count_U);
    setNumber(items, count, "sw_features", static_cast<int32_t>(features));

    for (int i = 0; i < count; ++i)
        if (modelLacks(*items[i], features, product.usb_ports_phy)) items[i]->addFlags(PF_HIDDEN);

    if (product.usb_ports_phy <= 7) hide(items, count, "dailyrestart");
    hide(items, count, "syslog");
    hide(items, count, "syslog_ipa");
    hide(items, count, "syslog_upo");
}

void setRuntimeEnv() {
    int count = 0;
    Param* const* items = paramStore.items(&count);
    adjustParametersToModel(productParams(), items, count);
}
