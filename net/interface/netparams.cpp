#include "net/interface/netparams.h"

#include "params/store/paramstore.h"
#include "params/types/intparam.h"
#include "params/types/ip4param.h"
#include "runtime/socket/ipaddress.h"

namespace {

Param* lookUp(const char* key, int index) {
  return index < 0 ? paramStore.find(key) : paramStore.find(key, -1, index);
}

IntParam* lookUpInt(const char* key, int index) {
  Param* param = lookUp(key, index);
  if (!param) return nullptr;
  const ParamClass kind = param->paramClass();
  if (kind != ParamClass::Int && kind != ParamClass::OnOff) return nullptr;
  return static_cast<IntParam*>(param);
}

}  // namespace

bool netParamExists(const char* key, int index) { return lookUp(key, index) != nullptr; }

bool netParamOn(const char* key, int index) {
  Param* param = lookUp(key, index);
  return param && param->isOn();
}

int32_t netParamInt(const char* key, int32_t fallback, int index) {
  IntParam* param = lookUpInt(key, index);
  return param ? param->value() : fallback;
}

int netParamAddress(const char* key, IpAddress& out, int index) {
  Param* param = lookUp(key, index);
  if (!param) return 0;
  const ParamClass kind = param->paramClass();
  if (kind != ParamClass::Ip4 && kind != ParamClass::Ip6) return 0;
  out = static_cast<Ip4Param*>(param)->address();
  return 1;
}

uint32_t netFeatures() { return static_cast<uint32_t>(netParamInt("sw_features", 0)); }
