// MAC address parameter: six bytes, text "xx:xx:xx:xx:xx:xx".
#ifndef PARAMS_TYPES_MACPARAM_H
#define PARAMS_TYPES_MACPARAM_H

#include "params/types/parambase.h"

class MacParam : public Param {
 public:
  MacParam(const char* key, const uint8_t* def6, int32_t kind, const ParamLimits* limits, uint32_t flags);

  ParamClass paramClass() const override { return ParamClass::Mac; }
  int validate(const char* text) const override;
  int format(char* buffer, int size) const override;
  int print(FILE* out) const override;
  int assign(const char* text, int length) override;
  int hasValue() const override;
  bool namesStoredValue(const char* text) const override;
  int snmpGet(std::string& out) const override;
  int setBySnmp(int action, const uint8_t* value, int asnType, size_t length) override;

  // Copies the six bytes out.
  void getBytes(uint8_t out[6]) const;
  // Stores six bytes; 1 when they differ from the old value (nothing is marked).
  int setBytes(const uint8_t* bytes);

  const ParamLimits* limits() const { return limits_; }

 private:
  const ParamLimits* limits_;
  uint8_t mac_[6];  // guarded by mutex_
  uint8_t snmpSaved_[6] = {0, 0, 0, 0, 0, 0};
};

#endif
