// The root of the parameter classes: key, flags, kind, modified mark and
// a mutex of its own guarding the value.
#ifndef PARAMS_TYPES_PARAMBASE_H
#define PARAMS_TYPES_PARAMBASE_H

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

// Inclusive range: of an integer value, or of the length of a text.
struct ParamLimits {
  int32_t min;
  int32_t max;
};

// One row of a choice list: the stored key, the display text and a third
// text (locale name or time-zone offset; empty for most lists).
struct ChoiceRow {
  const char* key;
  const char* display;
  const char* extra;
};

// "No index" in the store lookup, "no row chosen" in a choice list.
constexpr int32_t NO_INDEX = INT32_MIN;

// Values of `kind`.
constexpr int32_t KIND_ANY = 0;     // no range
constexpr int32_t KIND_RANGED = 2;  // value (or text length) within the limits

// Longest text Param::set accepts (one more is refused).
constexpr int PARAM_MAX_TEXT = 1024;

// Which class an object is, for checked downcasts (no RTTI).
enum class ParamClass { Int, OnOff, String, Choice, Mac, Ip4, Ip6 };

class Param {
 public:
  Param();
  Param(const char* key, int32_t kind, uint32_t flags);
  virtual ~Param();
  Param(const Param&) = delete;
  Param& operator=(const Param&) = delete;

  virtual ParamClass paramClass() const = 0;

  // 1 when the text is acceptable; never changes the value.
  virtual int validate(const char* text) const = 0;
  // The value as display text into buffer (size 0: unbounded); the length written.
  virtual int format(char* buffer, int size) const = 0;
  // Only choice lists use the selector; the others format.
  virtual int formatColumn(int32_t selector, char* buffer, int size) const;
  // The value as saved in the parameter file; the fprintf result (< 0 on error).
  virtual int print(FILE* out) const = 0;
  // Stores the value from text (length -1: up to the terminator); nonzero when accepted.
  virtual int assign(const char* text, int length) = 0;
  virtual int hasValue() const = 0;
  // A copy of the SNMP value into out; 1 with a value, 0 for none.
  virtual int snmpGet(std::string& out) const;
  // One phase of an SNMP write (RESERVE1 .. UNDO); the SNMP error status.
  virtual int setBySnmp(int action, const uint8_t* value, int asnType, size_t length);
  virtual int choiceCount() const;
  virtual bool isOn() const;
  virtual bool isOff() const;
  // True when text validly names the value stored now (in any spelling).
  // The address classes answer an unchanged value as not assigned; a
  // caller tells that apart from a refusal with this.
  virtual bool namesStoredValue(const char* text) const;

  // Validates and assigns text (length -1: strlen); the change class
  // (CHANGE_ANY, CHANGE_RESTART, CHANGE_REBOOT), 0 when refused or when
  // the parameter is hidden or volatile.
  int set(const char* text, int length = -1);

  // The display text (format) and the saved text (print) as copies.
  std::string displayText() const;
  std::string savedText() const;

  void lock() const;
  void unlock() const;

  const char* key() const { return key_; }
  int32_t kind() const { return kind_; }
  uint32_t flags() const { return flags_.load(std::memory_order_relaxed); }
  bool hasFlags(uint32_t bits) const { return (flags() & bits) != 0; }
  void addFlags(uint32_t bits);
  void removeFlags(uint32_t bits);

  bool isModified() const { return modified_.load(std::memory_order_acquire); }
  void markModified() { modified_.store(true, std::memory_order_release); }
  void clearModified() { modified_.store(false, std::memory_order_release); }
  // Clears the mark; true when it was set (only one commit sees it set).
  bool takeModified() { return modified_.exchange(false, std::memory_order_acq_rel); }

  // The class a successful set reports, from the flags.
  int changeClass() const;

  // Called by the commit after it cleared the modified mark.
  virtual void noteCommitted();

 protected:
  mutable pthread_mutex_t mutex_;
  const char* key_;
  std::atomic<uint32_t> flags_;
  int32_t kind_;
  std::atomic<bool> modified_;
};

// Counts changes of any parameter's flag word (listings cache by it).
uint32_t paramFlagsVersion();

// Holds a parameter's lock for a scope.
class ParamLock {
 public:
  explicit ParamLock(const Param& p) : p_(p) { p_.lock(); }
  ~ParamLock() { p_.unlock(); }
  ParamLock(const ParamLock&) = delete;
  ParamLock& operator=(const ParamLock&) = delete;

 private:
  const Param& p_;
};

#endif
