// IPv4 address parameter.
#ifndef PARAMS_TYPES_IP4PARAM_H
#define PARAMS_TYPES_IP4PARAM_H

#include "params/types/parambase.h"
#include "runtime/socket/ipaddress.h"

class Ip4Param : public Param {
 public:
  Ip4Param(const char* key, const IpAddress& def, int32_t kind, const ParamLimits* limits, uint32_t flags);

  ParamClass paramClass() const override { return ParamClass::Ip4; }
  int validate(const char* text) const override;
  int format(char* buffer, int size) const override;
  int print(FILE* out) const override;
  int assign(const char* text, int length) override;
  int hasValue() const override;
  bool namesStoredValue(const char* text) const override;
  int snmpGet(std::string& out) const override;
  int setBySnmp(int action, const uint8_t* value, int asnType, size_t length) override;

  // IPv4 169.254.0.0/16; false for IPv6.
  virtual bool isLinkLocal() const;

  // A copy of the address.
  IpAddress address() const;
  // Copies the address when it differs and marks the parameter; 1 when changed.
  int setAddress(const IpAddress& address);

 protected:
  // Shared by both address classes: the text as an address of the class's family.
  int assignFamily(const char* text, int length, bool ipv6);
  bool namesFamilyValue(const char* text, bool ipv6) const;
  int formatFamily(char* buffer, int size, int minSize) const;

  const ParamLimits* limits_;
  IpAddress address_;    // guarded by mutex_
  IpAddress snmpSaved_;  // address before the last SNMP ACTION
};

#endif
