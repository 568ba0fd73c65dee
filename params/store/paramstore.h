// The store of all parameters: lookup by key, listings, the commit and the
// parameter file "/etc/params.dat" with its card mirror.
#ifndef PARAMS_STORE_PARAMSTORE_H
#define PARAMS_STORE_PARAMSTORE_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <atomic>
#include <mutex>

class Param;
class IntParam;
class OnOffParam;
class StringParam;
class P3List;
class MacParam;
class Ip4Param;
class Ip6Address;

// Longest key a lookup accepts.
constexpr int PARAM_MAX_KEY = 60;

class ParamStore {
 public:
  using Filler = int (*)(Param** items, int capacity);

  // The program's store: storage is filled by filler when first used.
  constexpr ParamStore(Filler filler, Param** storage, int capacity)
      : filler_(filler), items_(storage), capacity_(capacity) {}
  // A store over given items, sorted byte-wise by key (tools and tests).
  ParamStore(Param** items, int count);
  ParamStore(const ParamStore&) = delete;
  ParamStore& operator=(const ParamStore&) = delete;

  // The parameter of key (first length characters, -1: all) or of key and
  // index ("usb_owner_", 3 -> "usb_owner_3"); null when absent or hidden.
  Param* find(const char* key, int length = -1, int32_t index = INT32_MIN);
  // find, then a checked cast: null when the parameter has another class.
  IntParam* findInt(const char* key);  // IntParam or OnOffParam
  OnOffParam* findOnOff(const char* key);
  StringParam* findString(const char* key);
  P3List* findList(const char* key);
  MacParam* findMac(const char* key);
  Ip4Param* findIp4(const char* key);  // Ip4Param or Ip6Address
  Ip6Address* findIp6(const char* key);

  // Parameters whose flags have none of the bits of (mask | PF_HIDDEN).
  int countVisible(uint32_t mask);
  // The n-th (from 0) of those in array order, or null.
  Param* visibleAt(int n, uint32_t mask);
  // Largest number after prefix (compared ignoring case) among parameters
  // without PF_HIDDEN and PF_NOSNMP; 0 when none.
  int highestIndex(const char* prefix, int prefixLength);
  // The array and its count, for listing loops.
  Param** items(int* count);
  int count();

  // The commit: clears every modified mark, applies the changes that take
  // effect on the hardware and returns the CHANGE_* bits.
  int resetModified();
  // resetModified, then save "/etc/params.dat" on CHANGE_SAVE; the commit bits.
  int commitAndSave();
  // Writes the file at path (an appliance path) and the card mirror when
  // active: 0, or -1 when a file could not be written.
  int save(const char* path);
  // Sets every known parameter named in the stream; 1 when any set
  // reported a change class.
  int load(FILE* in);
  // Loads the file at path (0 when it cannot be opened), then migrates the
  // old session-key setting; the load result.
  int loadFile(const char* path);
  // Takes over *fd (set to -1), loads and closes it; -1 when it is negative
  // or cannot be opened as a stream.
  int loadFromFd(int* fd);
  // Factory reset of the files: 1 when "/etc/params.dat" was removed.
  int deleteParamFiles();

  // Diagnostics: every parameter with its value and modified mark.
  void dump(FILE* out);
  void dumpEntry(FILE* out, Param* param);
  // One "key=value" line.
  void dumpLine(FILE* out, Param* param);

  // 1..n for the user of index n whose name and password match, -2 for a
  // wrong password, -1 for an empty name or an unknown user.
  int checkUserPassword(const char* name, const char* password);

  // Deletes every parameter (at process end).
  void destroyAll();

 private:
  void ensureFilled();
  bool onOff(const char* key);

  uint32_t id_ = 0;  // tells stores apart in per-thread listing caches
  Filler filler_ = nullptr;
  Param** items_ = nullptr;
  int capacity_ = 0;
  int count_ = 0;
  std::once_flag filled_;
  std::atomic<bool> ready_{false};  // fast path of ensureFilled
  std::mutex fileMutex_;  // one save or file removal at a time
};

// The program's store, filled from the parameter table on first use.
extern ParamStore paramStore;

// strcmp of the wanted key and the item's key (a bsearch comparator: key
// is a const char*, item a Param* const*).
int compareParamKey(const void* key, const void* item);

// Splits trailing decimal digits off key: *length shrinks by their number
// and their value is returned, NO_INDEX when there are none. The first
// character is never taken as a digit.
int32_t parseKeyIndexSuffix(const char* key, int* length);

// paramStore.deleteParamFiles and paramStore.checkUserPassword.
int deleteParamFiles();
int checkUserPassword(const char* name, const char* password);

#endif
