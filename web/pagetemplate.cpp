// Until the template language exists, a page's template text is sent as
// it is.
#include "web/pagetemplate.h"

int64_t expandPageTemplate(HttpRequest&, FILE* stream, char* out, int64_t limit, bool) {
  int64_t n = 0;
  while (n < limit) {
    const size_t got = std::fread(out + n, 1, static_cast<size_t>(limit - n), stream);
    if (got == 0) break;
    n += static_cast<int64_t>(got);
  }
  return n;
}
