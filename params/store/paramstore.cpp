#include "params/store/paramstore.h"

#include <strings.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "params/types/param.h"
#include "params/types/paramflags.h"

namespace {

// Longest key built from a stem and an index.
constexpr size_t kMaxBuiltKey = 62;

// Where the last listing of this thread stopped, so a loop over
// visibleAt(0), visibleAt(1), ... makes one pass over the array.
struct ListingCursor {
  const ParamStore* store = nullptr;
  uint32_t storeId = 0;
  uint32_t mask = 0;
  uint32_t version = 0;
  int n = -1;
  int index = -1;
  int total = -1;  // countVisible for this mask, -1 unknown
};

thread_local ListingCursor cursor;

std::atomic<uint32_t> nextStoreId{1};

ListingCursor& cursorFor(const ParamStore* store, uint32_t storeId, uint32_t mask) {
  uint32_t version = paramFlagsVersion();
  if (cursor.store != store || cursor.storeId != storeId || cursor.mask != mask || cursor.version != version) {
    cursor = ListingCursor();
    cursor.store = store;
    cursor.storeId = storeId;
    cursor.mask = mask;
    cursor.version = version;
  }
  return cursor;
}

}  // namespace

int compareParamKey(const void* key, const void* item) {
  return std::strcmp(static_cast<const char*>(key), (*static_cast<Param* const*>(item))->key());
}

int32_t parseKeyIndexSuffix(const char* key, int* length) {
  int n = *length;
  int start = n;
  while (start > 1 && key[start - 1] >= '0' && key[start - 1] <= '9') --start;
  if (start == n) return NO_INDEX;
  *length = start;
  return std::atoi(key + start);
}

ParamStore::ParamStore(Param** items, int count)
    : id_(nextStoreId.fetch_add(1, std::memory_order_relaxed)), items_(items), capacity_(count), count_(count) {}

void ParamStore::ensureFilled() {
  if (ready_.load(std::memory_order_acquire) || filler_ == nullptr) return;
  std::call_once(filled_, [this] {
    count_ = filler_(items_, capacity_);
    ready_.store(true, std::memory_order_release);
  });
}

Param* ParamStore::find(const char* key, int length, int32_t index) {
  ensureFilled();
  if (key == nullptr || index == 0) return nullptr;
  size_t len = length < 0 ? std::strlen(key) : strnlen(key, static_cast<size_t>(length));
  if (len > static_cast<size_t>(PARAM_MAX_KEY)) return nullptr;
  char wanted[kMaxBuiltKey + 1];
  const char* target = key;
  if (index != NO_INDEX) {
    std::snprintf(wanted, sizeof wanted, "%.*s%d", static_cast<int>(len), key,
                  static_cast<int>(static_cast<uint16_t>(index)));
    target = wanted;
  } else if (key[len] != '\0') {
    std::memcpy(wanted, key, len);
    wanted[len] = '\0';
    target = wanted;
  }
  void* hit = std::bsearch(target, items_, static_cast<size_t>(count_), sizeof(Param*), compareParamKey);
  if (hit == nullptr) return nullptr;
  Param* param = *static_cast<Param**>(hit);
  return param->hasFlags(PF_HIDDEN) ? nullptr : param;
}

IntParam* ParamStore::findInt(const char* key) {
  Param* p = find(key);
  if (p == nullptr) return nullptr;
  ParamClass c = p->paramClass();
  return (c == ParamClass::Int || c == ParamClass::OnOff) ? static_cast<IntParam*>(p) : nullptr;
}

OnOffParam* ParamStore::findOnOff(const char* key) {
  Param* p = find(key);
  return (p && p->paramClass() == ParamClass::OnOff) ? static_cast<OnOffParam*>(p) : nullptr;
}

StringParam* ParamStore::findString(const char* key) {
  Param* p = find(key);
  return (p && p->paramClass() == ParamClass::String) ? static_cast<StringParam*>(p) : nullptr;
}

P3List* ParamStore::findList(const char* key) {
  Param* p = find(key);
  return (p && p->paramClass() == ParamClass::Choice) ? static_cast<P3List*>(p) : nullptr;
}

MacParam* ParamStore::findMac(const char* key) {
  Param* p = find(key);
  return (p && p->paramClass() == ParamClass::Mac) ? static_cast<MacParam*>(p) : nullptr;
}

Ip4Param* ParamStore::findIp4(const char* key) {
  Param* p = find(key);
  if (p == nullptr) return nullptr;
  ParamClass c = p->paramClass();
  return (c == ParamClass::Ip4 || c == ParamClass::Ip6) ? static_cast<Ip4Param*>(p) : nullptr;
}

Ip6Address* ParamStore::findIp6(const char* key) {
  Param* p = find(key);
  return (p && p->paramClass() == ParamClass::Ip6) ? static_cast<Ip6Address*>(p) : nullptr;
}

int ParamStore::countVisible(uint32_t mask) {
  ensureFilled();
  ListingCursor& c = cursorFor(this, id_, mask);
  if (c.total >= 0) return c.total;
  const uint32_t hide = mask | PF_HIDDEN;
  int total = 0;
  for (int i = 0; i < count_; ++i) {
    if (!(items_[i]->flags() & hide)) ++total;
  }
  c.total = total;
  return total;
}

Param* ParamStore::visibleAt(int n, uint32_t mask) {
  ensureFilled();
  if (n < 0 || n >= count_) return nullptr;
  ListingCursor& c = cursorFor(this, id_, mask);
  const uint32_t hide = mask | PF_HIDDEN;
  int seen = -1;
  int i = 0;
  if (c.n >= 0 && c.n <= n) {
    seen = c.n - 1;
    i = c.index;
  }
  for (; i < count_; ++i) {
    if (items_[i]->flags() & hide) continue;
    if (++seen == n) {
      c.n = n;
      c.index = i;
      return items_[i];
    }
  }
  return nullptr;
}

int ParamStore::highestIndex(const char* prefix, int prefixLength) {
  ensureFilled();
  if (prefix == nullptr || prefixLength < 0) return 0;
  int highest = 0;
  for (int i = 0; i < count_; ++i) {
    Param* p = items_[i];
    if (p->flags() & (PF_HIDDEN | PF_NOSNMP)) continue;
    if (strncasecmp(p->key(), prefix, static_cast<size_t>(prefixLength)) != 0) continue;
    if (std::strlen(p->key()) < static_cast<size_t>(prefixLength)) continue;
    int index = std::atoi(p->key() + prefixLength);
    if (index > highest) highest = index;
  }
  return highest;
}

Param** ParamStore::items(int* count) {
  ensureFilled();
  if (count != nullptr) *count = count_;
  return items_;
}

int ParamStore::count() {
  ensureFilled();
  return count_;
}

void ParamStore::dumpEntry(FILE* out, Param* param) {
  std::fprintf(out, "%s = ", param->key());
  param->print(out);
  std::fprintf(out, " %c\n", param->isModified() ? '*' : ' ');
}

void ParamStore::dumpLine(FILE* out, Param* param) {
  std::fprintf(out, "%s=", param->key());
  param->print(out);
  std::fprintf(out, "\n");
}

void ParamStore::dump(FILE* out) {
  ensureFilled();
  std::fprintf(out, "-------------- begin ptable size:%2d -------\n", count_);
  for (int i = 0; i < count_; ++i) {
    if (items_[i] != nullptr) dumpEntry(out, items_[i]);
  }
  std::fprintf(out, "--------------  end ptable ------------------\n");
}

int ParamStore::checkUserPassword(const char* name, const char* password) {
  if (name == nullptr || name[0] == '\0') return -1;
  for (int32_t n = 1;; ++n) {
    Param* user = find("user_name_", 10, n);
    if (user == nullptr) return -1;
    if (user->paramClass() != ParamClass::String || !static_cast<StringParam*>(user)->textEquals(name)) continue;
    Param* pwd = find("user_pwd_", 9, n);
    bool match = pwd != nullptr && pwd->paramClass() == ParamClass::String &&
                 static_cast<StringParam*>(pwd)->textEquals(password ? password : "");
    return match ? n : -2;
  }
}

void ParamStore::destroyAll() {
  ensureFilled();
  for (int i = 0; i < count_; ++i) {
    delete items_[i];
    items_[i] = nullptr;
  }
  count_ = 0;
}

bool ParamStore::onOff(const char* key) {
  Param* p = find(key);
  return p != nullptr && p->isOn();
}

int deleteParamFiles() { return paramStore.deleteParamFiles(); }

int checkUserPassword(const char* name, const char* password) {
  return paramStore.checkUserPassword(name, password);
}
