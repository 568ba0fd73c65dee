// The start page.
// Each is a named placeholder until its page is built: result 1 serves the
// row's own template, and a row without one answers 404.
#include "web/pages/pagehandlers.h"

int handleStartPage(HttpRequest&) { return 1; }
