// URL path decoding, language codes in paths, form field lookup and storing
// a form into the parameter store, over arbitrary bytes: the first byte
// splits the input into a path and form data.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "params/store/paramstore.h"
#include "params/types/p3list.h"
#include "web/http/httprequest.h"
#include "web/http/httptext.h"

namespace {

bool knownCode(const char* code) {
  P3List* language = paramStore.findList("language");
  return language != nullptr && language->findKey(code) != NO_INDEX;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > 4096) return 0;
  const size_t split = data[0] % size;
  const std::string path(reinterpret_cast<const char*>(data + 1), split > 0 ? split - 1 : 0);
  const std::string form(reinterpret_cast<const char*>(data + split + (split > 0 ? 0 : 1)),
                         size - split - (split > 0 ? 0 : 1));

  HttpRequest request(nullptr);
  std::snprintf(request.requestPath, sizeof request.requestPath, "%s", path.c_str());
  char* query = nullptr;
  if (decodeUrlPath(request.requestPath, &query)) {
    char code[3];
    extractLanguageFromPath(request.requestPath, code, knownCode);
    char copy[kHttpMaxUrl + 1];
    std::memcpy(copy, request.requestPath, sizeof copy);
    extractLanguageFromPath(copy, code);
  }

  // The form as a url-encoded body of its own.
  std::string body = form;
  body.push_back('\0');
  request.queryString = &body[0];
  request.formEnd = &body[0] + form.size();
  for (const char* name : {"a", "name", "language", "b"}) {
    const char* value = request.getFormValue(name);
    if (value != nullptr) request.setVariable(name, value);
  }
  request.getFormValue("a", request.getFormValue("b"));
  uint32_t bits = 0;
  request.applyFormToParams("Port_sel", &bits);
  paramStore.resetModified();
  return 0;
}
