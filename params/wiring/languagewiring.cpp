#include "params/wiring/languagewiring.h"

#include "params/store/paramstore.h"
#include "params/types/p3list.h"
#include "runtime/text/gettext.h"

namespace {

// The locale of the current `language` row ("de_DE.UTF-8"); row texts are
// constant, so the pointer stays valid.
const char* deviceLocale() {
  P3List* language = paramStore.findList("language");
  if (language == nullptr) return nullptr;
  const int32_t row = language->currentIndex();
  if (row < 0 || row >= language->rowCount()) return nullptr;
  return language->rows()[row].extra;
}

}  // namespace

void wireDeviceLanguage() { setDeviceLanguageSource(deviceLocale); }
