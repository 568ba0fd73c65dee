// The step that turns a page's template text into the page: reads the
// stream to its end and writes at most limit bytes to out (the caller's
// buffer holds limit + 1024 bytes, so an expansion may end with a short
// notice past the limit). scriptMode: the text begins inside a script.
// Returns the bytes written.
#ifndef WEB_TEMPLATES_PAGETEMPLATE_H
#define WEB_TEMPLATES_PAGETEMPLATE_H

#include <cstdint>
#include <cstdio>

class HttpRequest;

int64_t expandPageTemplate(HttpRequest& request, FILE* stream, char* out, int64_t limit, bool scriptMode);

#endif
