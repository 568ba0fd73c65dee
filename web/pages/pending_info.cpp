// Downloads and the information pages.
// Each is a named placeholder until its page is built: result 1 serves the
// row's own template, and a row without one answers 404.
#include "web/pages/pagehandlers.h"

int serveDownload(HttpRequest&) { return 1; }
int handleInfoIndex(HttpRequest&) { return 1; }
int handleInfoThreads(HttpRequest&) { return 1; }
int handleInfoFilter(HttpRequest&) { return 1; }
int handleInfoUsb(HttpRequest&) { return 1; }
int handleInfoDir(HttpRequest&) { return 1; }
int handleInfoFile(HttpRequest&) { return 1; }
int handleInfoNet(HttpRequest&) { return 1; }
int handleInfoDev(HttpRequest&) { return 1; }
int handleCleanCerts(HttpRequest&) { return 1; }
int handleInfoWlan(HttpRequest&) { return 1; }
