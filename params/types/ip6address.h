// IPv6 address parameter.
#ifndef PARAMS_TYPES_IP6ADDRESS_H
#define PARAMS_TYPES_IP6ADDRESS_H

#include "params/types/ip4param.h"

class Ip6Address : public Ip4Param {
 public:
  // defText is parsed as IPv6; a text that does not parse leaves "::".
  Ip6Address(const char* key, const char* defText, int32_t kind, const ParamLimits* limits, uint32_t flags);

  ParamClass paramClass() const override { return ParamClass::Ip6; }
  int validate(const char* text) const override;
  int format(char* buffer, int size) const override;
  int assign(const char* text, int length) override;
  bool namesStoredValue(const char* text) const override;
  int setBySnmp(int action, const uint8_t* value, int asnType, size_t length) override;
  bool isLinkLocal() const override { return false; }
};

#endif
