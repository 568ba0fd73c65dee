// Typed reads of the parameters the network code uses. A parameter that is
// absent (hidden on this model) or of another class reads as off, unset or
// the fallback.
#ifndef NET_INTERFACE_NETPARAMS_H
#define NET_INTERFACE_NETPARAMS_H

#include <cstdint>

class IpAddress;

// The key, or the family stem with a decimal index ("ip4vlan_on_", 3).
bool netParamExists(const char* key, int index = -1);
bool netParamOn(const char* key, int index = -1);
int32_t netParamInt(const char* key, int32_t fallback, int index = -1);
// 1 when the address parameter exists; out then holds its value.
int netParamAddress(const char* key, IpAddress& out, int index = -1);
// The model's feature bits (`sw_features`).
uint32_t netFeatures();

#endif
