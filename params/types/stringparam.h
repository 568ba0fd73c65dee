// Text parameter with a length range.
#ifndef PARAMS_TYPES_STRINGPARAM_H
#define PARAMS_TYPES_STRINGPARAM_H

#include "params/types/parambase.h"

class StringParam : public Param {
 public:
  // The default text is kept, not copied: it must outlive the object.
  StringParam(const char* key, const char* def, const ParamLimits* limits, uint32_t flags);
  ~StringParam() override;

  ParamClass paramClass() const override { return ParamClass::String; }
  int validate(const char* text) const override;
  int format(char* buffer, int size) const override;
  int print(FILE* out) const override;
  int assign(const char* text, int length) override;
  int hasValue() const override;
  int snmpGet(std::string& out) const override;
  int setBySnmp(int action, const uint8_t* value, int asnType, size_t length) override;

  // A copy of the value, translated when PF_TRANSLATED and a value is set.
  std::string getText() const;
  // The raw value equals text (case matters).
  bool textEquals(const char* text) const;
  // Stores text without marking the parameter: for values the program
  // itself reports (status rows), which must not ask for a restart or a save.
  void setStatusValue(const char* text);

  const ParamLimits* limits() const { return limits_; }

 private:
  void storeLocked(const char* text, size_t length);

  const ParamLimits* limits_;
  const char* text_;   // guarded by mutex_
  bool owned_ = false;  // text_ was allocated here
  std::string* snmpSaved_ = nullptr;  // value before the last SNMP ACTION
};

#endif
