// Parameters of the SNMP tests: set by key (validated or raw), and every
// touched parameter back to its text at the end.
#ifndef TESTS_SNMP_SUPPORT_SNMPPARAMS_H
#define TESTS_SNMP_SUPPORT_SNMPPARAMS_H

#include <string>
#include <utility>
#include <vector>

class SnmpParams {
 public:
  SnmpParams() = default;
  SnmpParams(const SnmpParams&) = delete;
  SnmpParams& operator=(const SnmpParams&) = delete;
  ~SnmpParams() { restore(); }

  // Param::set: false when the key is unknown or the value refused.
  bool set(const char* key, const std::string& value);
  // Stores the value without validation (values the forms never let
  // through); an address key with "" becomes unset.
  bool assign(const char* key, const std::string& value);
  void restore();

 private:
  void remember(const char* key);
  std::vector<std::pair<std::string, std::string>> saved_;
};

#endif
