#include "params/types/parambase.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "params/types/paramflags.h"
#include "params/types/snmpset.h"

namespace {

std::atomic<uint32_t> flagsVersion{0};

}  // namespace

uint32_t paramFlagsVersion() { return flagsVersion.load(std::memory_order_acquire); }

void Param::addFlags(uint32_t bits) {
  flags_.fetch_or(bits, std::memory_order_relaxed);
  flagsVersion.fetch_add(1, std::memory_order_acq_rel);
}

void Param::removeFlags(uint32_t bits) {
  flags_.fetch_and(~bits, std::memory_order_relaxed);
  flagsVersion.fetch_add(1, std::memory_order_acq_rel);
}

Param::Param() : key_(nullptr), flags_(0), kind_(0), modified_(false) {
  pthread_mutex_init(&mutex_, nullptr);
}

Param::Param(const char* key, int32_t kind, uint32_t flags)
    : key_(key), flags_(flags), kind_(kind), modified_(false) {
  pthread_mutex_init(&mutex_, nullptr);
}

Param::~Param() { pthread_mutex_destroy(&mutex_); }

void Param::lock() const {
  int rc = pthread_mutex_lock(&mutex_);
  if (rc != 0) {
    errno = rc;
    perror("Param lock Mutex:");
  }
}

void Param::unlock() const {
  int rc = pthread_mutex_unlock(&mutex_);
  if (rc != 0) {
    errno = rc;
    perror("Param unlock Mutex:");
  }
}

int Param::formatColumn(int32_t, char* buffer, int size) const { return format(buffer, size); }

int Param::snmpGet(std::string& out) const {
  out.clear();
  return 0;
}

int Param::setBySnmp(int, const uint8_t*, int, size_t) {
  puts("ERROR: Call base Param class setBySnmp function ?!");
  return SNMP_NO_ACCESS;
}

int Param::choiceCount() const { return 1; }
bool Param::isOn() const { return false; }
bool Param::isOff() const { return true; }
bool Param::namesStoredValue(const char*) const { return false; }
void Param::noteCommitted() {}

int Param::changeClass() const {
  uint32_t f = flags();
  if (f & PF_IMMEDIATE) return CHANGE_ANY;
  if (f & PF_RESTART) return CHANGE_RESTART;
  return CHANGE_REBOOT;
}

int Param::set(const char* text, int length) {
  if (text == nullptr) return 0;
  size_t len = length < 0 ? std::strlen(text) : static_cast<size_t>(length);
  if (len > static_cast<size_t>(PARAM_MAX_TEXT)) {
    perror("!PARAMS SET ILLEGAL VALUES!");
    return 0;
  }
  // Short texts are copied on the stack; only long ones allocate.
  char local[65];
  std::unique_ptr<char[]> heap;
  char* copy = local;
  if (len > 64) {
    heap.reset(new (std::nothrow) char[len + 1]);
    if (!heap) {
      perror("Out Of Mem in SET");
      return 0;
    }
    copy = heap.get();
  }
  std::memcpy(copy, text, len);
  copy[len] = '\0';

  if (!validate(copy) || !assign(copy, -1)) return 0;
  if (flags() & (PF_HIDDEN | PF_VOLATILE)) return 0;
  return changeClass();
}

std::string Param::displayText() const {
  std::string text(PARAM_MAX_TEXT + 1, '\0');
  int n = format(&text[0], static_cast<int>(text.size()));
  if (n < 0) n = 0;
  text.resize(std::strlen(text.c_str()));
  return text;
}

std::string Param::savedText() const {
  char* data = nullptr;
  size_t size = 0;
  FILE* f = open_memstream(&data, &size);
  if (f == nullptr) return std::string();
  print(f);
  std::fclose(f);
  std::string text(data, size);
  std::free(data);
  return text;
}
