#include "notify/paramread.h"

#include "params/store/paramstore.h"
#include "params/types/intparam.h"
#include "params/types/p3list.h"
#include "params/types/param.h"

bool notifyParamOn(const char* key) {
  Param* p = paramStore.find(key);
  return p && p->isOn();
}

bool notifyParamHasValue(const char* key) {
  Param* p = paramStore.find(key);
  return p && p->hasValue();
}

int32_t notifyParamInt(const char* key, int32_t fallback) {
  IntParam* p = paramStore.findInt(key);
  return p ? p->value() : fallback;
}

bool notifyChoiceIs(const char* key, const char* text) {
  P3List* p = paramStore.findList(key);
  return p && p->equals(text);
}

uint32_t notifyFeatures() { return static_cast<uint32_t>(notifyParamInt("sw_features", 0)); }
