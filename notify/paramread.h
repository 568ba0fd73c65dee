// Small reads of the parameters that notifications and the relay ask for.
// A parameter that the model hides reads as off, empty or the default.
#ifndef NOTIFY_PARAMREAD_H
#define NOTIFY_PARAMREAD_H

#include <cstdint>

bool notifyParamOn(const char* key);
bool notifyParamHasValue(const char* key);
int32_t notifyParamInt(const char* key, int32_t fallback);
// The choice parameter's key equals text.
bool notifyChoiceIs(const char* key, const char* text);
uint32_t notifyFeatures();

#endif
