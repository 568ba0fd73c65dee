// Choice-list parameter: the value is one row of a fixed table.
#ifndef PARAMS_TYPES_P3LIST_H
#define PARAMS_TYPES_P3LIST_H

#include "params/types/parambase.h"

// Column bits of a formatColumn selector; with one set, the row is the
// selector's low 16 bits.
constexpr int32_t COL_KEY = 0;
constexpr int32_t COL_DISPLAY = 0x10000;
constexpr int32_t COL_THIRD = 0x20000;
constexpr int32_t COL_MASK = 0x30000;

class P3List : public Param {
 public:
  // defKey may be null (no row chosen). The rows must outlive the object.
  P3List(const char* key, const char* defKey, int32_t rowCount, const ChoiceRow* rows, uint32_t flags);

  ParamClass paramClass() const override { return ParamClass::Choice; }
  int validate(const char* text) const override;
  int format(char* buffer, int size) const override;
  int formatColumn(int32_t selector, char* buffer, int size) const override;
  int print(FILE* out) const override;
  int assign(const char* text, int length) override;
  int hasValue() const override;
  int snmpGet(std::string& out) const override;
  int setBySnmp(int action, const uint8_t* value, int asnType, size_t length) override;
  int choiceCount() const override { return kind_; }

  // The current key equals text, ignoring case ("" without a row).
  virtual bool equals(const char* text) const;
  // equals for each text of a null-terminated list until one matches.
  virtual bool equalsAny(const char* const* texts) const;

  // Index of the first row whose key is text exactly, else NO_INDEX.
  int32_t findKey(const char* text) const;
  // Key of the current row, "" when none (row texts are never freed).
  const char* currentKey() const;
  // Display text of the current row (translated with PF_TRANSLATED), ""
  // when none.
  const char* currentDisplayText() const;
  int32_t currentIndex() const { return current_.load(std::memory_order_relaxed); }
  int32_t rowCount() const { return kind_; }
  const ChoiceRow* rows() const { return rows_; }

 private:
  bool validRow(int32_t row) const { return static_cast<uint32_t>(row) < static_cast<uint32_t>(kind_); }

  const ChoiceRow* rows_;
  std::atomic<int32_t> current_;
  int32_t snmpSaved_ = NO_INDEX;  // row before the last SNMP ACTION
};

#endif
