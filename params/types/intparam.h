// Integer parameter: counters, bit masks and ranged numbers.
#ifndef PARAMS_TYPES_INTPARAM_H
#define PARAMS_TYPES_INTPARAM_H

#include "params/types/parambase.h"

class IntParam : public Param {
 public:
  IntParam(const char* key, int32_t kind, const ParamLimits* limits, uint32_t flags, int32_t value);

  ParamClass paramClass() const override { return ParamClass::Int; }
  int validate(const char* text) const override;
  int format(char* buffer, int size) const override;
  int print(FILE* out) const override;
  int assign(const char* text, int length) override;
  int hasValue() const override;
  int snmpGet(std::string& out) const override;
  int setBySnmp(int action, const uint8_t* value, int asnType, size_t length) override;
  bool isOn() const override;
  bool isOff() const override;

  int32_t value() const { return value_.load(std::memory_order_relaxed); }
  // Stores v; marks the parameter when it differs. 1 when the value changed.
  int setValue(int32_t v);
  // With a range, refuses (0) a value outside it; otherwise setValue and 1.
  int setChecked(int32_t v);
  // Stores v without marking the parameter: for values the program itself
  // reports (status rows), which must not ask for a restart or a save.
  void setStatusValue(int32_t v);

  const ParamLimits* limits() const { return limits_; }

 protected:
  bool inRange(int64_t v) const;

  const ParamLimits* limits_;
  std::atomic<int32_t> value_;
  int32_t snmpSaved_ = 0;  // value before the last SNMP ACTION on this parameter
};

#endif
