// Handlers of the security and maintenance pages.
// Each is a named placeholder until its page is built: result 1 serves the
// row's own template, and a row without one answers 404.
#include "web/pages/pagehandlers.h"

int handleCertificatePage(HttpRequest&) { return 1; }
int handleCertGenerate(HttpRequest&) { return 1; }
int handleCertStore(HttpRequest&) { return 1; }
int handleShowCert(HttpRequest&) { return 1; }
int handleShowForeignCert(HttpRequest&) { return 1; }
int handleShowMimeCert(HttpRequest&) { return 1; }
int handleShowCa(HttpRequest&) { return 1; }
int handleShowRequest(HttpRequest&) { return 1; }
int handleSdCardPage(HttpRequest&) { return 1; }
int handleFactoryReset(HttpRequest&) { return 1; }
int handleUpdatePage(HttpRequest&) { return 1; }
int handleUpdateCheck(HttpRequest&) { return 1; }
