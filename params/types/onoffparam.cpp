#include "params/types/onoffparam.h"

#include <strings.h>

#include <cstring>

namespace {

const ParamLimits kOnOffLimits = {0, 1};

}  // namespace

OnOffParam::OnOffParam(const char* key, int32_t def, uint32_t flags)
    : IntParam(key, KIND_RANGED, &kOnOffLimits, flags, def), committed_(def) {}

int OnOffParam::validate(const char* text) const {
  if (text == nullptr) return 0;
  return strcasecmp(text, "on") == 0 || strcasecmp(text, "off") == 0;
}

int OnOffParam::format(char* buffer, int size) const {
  const char* text = value() ? "on" : "off";
  int length = static_cast<int>(std::strlen(text));
  if (size > 0 && size < length + 1) {
    buffer[0] = '\0';
    return 0;
  }
  std::memcpy(buffer, text, static_cast<size_t>(length) + 1);
  return length;
}

int OnOffParam::print(FILE* out) const { return std::fprintf(out, "%s", value() ? "on" : "off"); }

int OnOffParam::assign(const char* text, int length) {
  // Only the lower-case forms are stored.
  if (text == nullptr || text[0] != 'o') return 0;
  int32_t v;
  if (length == -1) {
    if (std::strcmp(text, "on") == 0)
      v = 1;
    else if (std::strcmp(text, "off") == 0)
      v = 0;
    else
      return 0;
  } else if (length == 2 && std::memcmp(text, "on", 2) == 0) {
    v = 1;
  } else if (length == 3 && std::memcmp(text, "off", 3) == 0) {
    v = 0;
  } else {
    return 0;
  }
  ParamLock guard(*this);
  value_.store(v, std::memory_order_relaxed);
  // Marked exactly while the value differs from the committed one, so
  // switching back before a commit leaves nothing to commit.
  if (v != committed_.load(std::memory_order_relaxed))
    markModified();
  else
    clearModified();
  return 1;
}

const char* OnOffParam::yesNoText() const { return value() ? "yes" : "no"; }

void OnOffParam::noteCommitted() {
  ParamLock guard(*this);
  committed_.store(value(), std::memory_order_relaxed);
}
