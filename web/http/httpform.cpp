// Form data: the query string of a GET or the url-encoded body of a POST,
// from queryString to formEnd. The fields are split once; a value is cut
// out and decoded in place when it is first used, so decoding one value
// never moves another's bytes and the field boundaries stay known.
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>

#include "params/store/paramstore.h"
#include "params/types/param.h"
#include "params/types/paramflags.h"
#include "web/http/httprequest.h"
#include "web/http/httptext.h"

void HttpRequest::splitForm() {
  if (formSplit_) return;
  formSplit_ = true;
  formFields_.clear();
  if (queryString == nullptr || formEnd == nullptr || !boundary.empty() || formEnd < queryString) return;
  char* p = const_cast<char*>(queryString);
  char* const end = const_cast<char*>(formEnd);
  while (p < end && *p != '\0') {
    char* stop = p;
    while (stop < end && *stop != '&' && *stop != '\0') ++stop;
    char* equals = static_cast<char*>(std::memchr(p, '=', static_cast<size_t>(stop - p)));
    if (equals != nullptr && equals > p) formFields_.push_back(FormField{p, equals + 1, stop, false});
    const bool more = stop < end && *stop == '&';
    if (!more) break;
    p = stop + 1;
  }
}

char* HttpRequest::formFieldValue(FormField& field) {
  if (!field.decoded) {
    // The terminator goes where the separator (or the form's end) was.
    *field.valueEnd = '\0';
    decodeFormValue(field.value);
    field.decoded = true;
  }
  return field.value;
}

const char* HttpRequest::getFormValue(const char* name, const char* start) {
  if (name == nullptr || *name == '\0') return nullptr;
  splitForm();
  const size_t nameLength = std::strlen(name);
  for (FormField& field : formFields_) {
    if (start != nullptr && field.name < start) continue;
    const size_t fieldNameLength = static_cast<size_t>(field.value - 1 - field.name);
    if (fieldNameLength == nameLength && std::memcmp(field.name, name, nameLength) == 0) return formFieldValue(field);
  }
  return nullptr;
}

int HttpRequest::applyFormToParams(const char* groupPrefix, uint32_t* bits, std::string* refused) {
  splitForm();
  size_t prefixLength = 0;
  const bool grouped = groupPrefix != nullptr && bits != nullptr;
  if (grouped) {
    const char* underscore = std::strchr(groupPrefix, '_');
    prefixLength = underscore != nullptr ? static_cast<size_t>(underscore - groupPrefix) + 1 : std::strlen(groupPrefix);
    *bits = 0;
  }
  int changed = 0;
  for (FormField& field : formFields_) {
    const char* name = field.name;
    int nameLength = static_cast<int>(field.value - 1 - field.name);
    if (grouped && static_cast<size_t>(nameLength) > prefixLength && name[0] >= 'A' && name[0] <= 'Z' &&
        std::strncmp(name, groupPrefix, prefixLength) == 0) {
      const char* digits = name + prefixLength;
      if (std::isdigit(static_cast<unsigned char>(*digits))) {
        const long bit = std::strtol(digits, nullptr, 10);
        if (bit >= 0 && bit <= 31) *bits |= 1u << bit;
      }
    }
    if (nameLength > 2 && name[0] == '_' && name[1] == '_') {
      name += 2;
      nameLength -= 2;
    }
    if (name[0] < 'a' || name[0] > 'z' || nameLength > PARAM_MAX_KEY) continue;
    Param* param = paramStore.find(name, nameLength);
    if (param == nullptr) continue;
    const char* value = formFieldValue(field);
    if (param->set(value) != 0) {
      ++changed;
    } else if (refused != nullptr && !param->hasFlags(PF_VOLATILE) && !param->namesStoredValue(value)) {
      // A volatile parameter takes the value without reporting a change;
      // an address sent back unchanged (in any spelling) is no refusal.
      if (!refused->empty()) refused->append(", ");
      refused->append(param->key());
    }
  }
  return changed;
}
