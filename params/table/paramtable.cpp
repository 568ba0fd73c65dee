#include "params/table/paramtable.h"

#include <cstdint>

#include "params/table/choicelists.h"
#include "params/types/param.h"
#include "params/types/paramflags.h"
#include "runtime/socket/ipaddress.h"

namespace {

// One shared {min, max} pair per distinct range.
template <int32_t Min, int32_t Max>
struct Range {
    static constexpr ParamLimits limits{Min, Max};
};

const uint8_t kZeroMac[6] = {0, 0, 0, 0, 0, 0};

IpAddress ip4Default(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    IpAddress address;
    address.fromIp4Bytes(a, b, c, d);
    return address;
}

// A family's members in byte-wise order of their keys ("_1", "_10", "_11",
// ..., "_2", "_20", "_3", ...).
#define PARAM_FAMILY(count, stem, M, ...) PARAM_FAMILY_##count(M, stem, __VA_ARGS__)
#define PARAM_FAMILY_2(M, s, ...) M(s "1", __VA_ARGS__) M(s "2", __VA_ARGS__)
#define PARAM_FAMILY_4(M, s, ...) \
    PARAM_FAMILY_2(M, s, __VA_ARGS__) M(s "3", __VA_ARGS__) M(s "4", __VA_ARGS__)
#define PARAM_FAMILY_8(M, s, ...)                                             \
    PARAM_FAMILY_4(M, s, __VA_ARGS__) M(s "5", __VA_ARGS__) M(s "6", __VA_ARGS__) \
    M(s "7", __VA_ARGS__) M(s "8", __VA_ARGS__)
#define PARAM_DECADE(M, s, d, ...)                                                    \
    M(s #d "0", __VA_ARGS__) M(s #d "1", __VA_ARGS__) M(s #d "2", __VA_ARGS__)        \
    M(s #d "3", __VA_ARGS__) M(s #d "4", __VA_ARGS__) M(s #d "5", __VA_ARGS__)        \
    M(s #d "6", __VA_ARGS__) M(s #d "7", __VA_ARGS__) M(s #d "8", __VA_ARGS__)        \
    M(s #d "9", __VA_ARGS__)
#define PARAM_FAMILY_20(M, s, ...)                                             \
    M(s "1", __VA_ARGS__) PARAM_DECADE(M, s, 1, __VA_ARGS__)                    \
    M(s "2", __VA_ARGS__) M(s "20", __VA_ARGS__)                               \
    M(s "3", __VA_ARGS__) M(s "4", __VA_ARGS__) M(s "5", __VA_ARGS__)          \
    M(s "6", __VA_ARGS__) M(s "7", __VA_ARGS__) M(s "8", __VA_ARGS__)          \
    M(s "9", __VA_ARGS__)
#define PARAM_FAMILY_40(M, s, ...)                                             \
    M(s "1", __VA_ARGS__) PARAM_DECADE(M, s, 1, __VA_ARGS__)                    \
    M(s "2", __VA_ARGS__) PARAM_DECADE(M, s, 2, __VA_ARGS__)                    \
    M(s "3", __VA_ARGS__) PARAM_DECADE(M, s, 3, __VA_ARGS__)                    \
    M(s "4", __VA_ARGS__) M(s "40", __VA_ARGS__)                               \
    M(s "5", __VA_ARGS__) M(s "6", __VA_ARGS__) M(s "7", __VA_ARGS__)          \
    M(s "8", __VA_ARGS__) M(s "9", __VA_ARGS__)

// The number of rows the data file defines, checked against the declared size.
#define PARAM_TEXT(...) +1
#define PARAM_ONOFF(...) +1
#define PARAM_INT(...) +1
#define PARAM_NUMBER(...) +1
#define PARAM_IP4(...) +1
#define PARAM_MAC(...) +1
#define PARAM_IP6(...) +1
#define PARAM_LIST(...) +1
constexpr int kRowsDefined = 0
#include "params/table/paramtable.def"
    ;
static_assert(kRowsDefined == kParamTableSize, "parameter table size");
#undef PARAM_TEXT
#undef PARAM_ONOFF
#undef PARAM_INT
#undef PARAM_NUMBER
#undef PARAM_IP4
#undef PARAM_MAC
#undef PARAM_IP6
#undef PARAM_LIST

}  // namespace

int defineParameters(Param** items, int capacity) {
    applyCatalogueToChoiceLists();

    int count = 0;
#define ADD_PARAM(construction)                \
    if (count < capacity) items[count++] = construction;

#define PARAM_TEXT(key, def, minLength, maxLength, flags) \
    ADD_PARAM(new StringParam(key, def, &Range<minLength, maxLength>::limits, flags))
#define PARAM_ONOFF(key, def, flags) ADD_PARAM(new OnOffParam(key, def, flags))
#define PARAM_INT(key, def, min, max, flags) \
    ADD_PARAM(new IntParam(key, 2, &Range<min, max>::limits, flags, def))
#define PARAM_NUMBER(key, def, flags) ADD_PARAM(new IntParam(key, 0, nullptr, flags, def))
#define PARAM_IP4(key, a, b, c, d, flags) \
    ADD_PARAM(new Ip4Param(key, ip4Default(a, b, c, d), 0, nullptr, flags))
#define PARAM_MAC(key, flags) ADD_PARAM(new MacParam(key, kZeroMac, 0, nullptr, flags))
#define PARAM_IP6(key, def, flags) ADD_PARAM(new Ip6Address(key, def, 0, nullptr, flags))
#define PARAM_LIST(key, def, list, flags) \
    ADD_PARAM(new P3List(key, def, kChoices##list##Count, kChoices##list, flags))
#include "params/table/paramtable.def"
#undef PARAM_TEXT
#undef PARAM_ONOFF
#undef PARAM_INT
#undef PARAM_NUMBER
#undef PARAM_IP4
#undef PARAM_MAC
#undef PARAM_IP6
#undef PARAM_LIST
#undef ADD_PARAM
    return count;
}
