// Handlers of the settings pages and the restart request.
// Each is a named placeholder until its page is built: result 1 serves the
// row's own template, and a row without one answers 404.
#include "web/pagehandlers.h"

int handleSettingsForm(HttpRequest&) { return 1; }
int handleDescriptionPage(HttpRequest&) { return 1; }
int handleIpv4Page(HttpRequest&) { return 1; }
int handleIpv6Page(HttpRequest&) { return 1; }
int handleIp4VlanPage(HttpRequest&) { return 1; }
int handleBonjourPage(HttpRequest&) { return 1; }
int handleEmailPage(HttpRequest&) { return 1; }
int handleWlanPage(HttpRequest&) { return 1; }
int handleUsbPage(HttpRequest&) { return 1; }
int handleTimePage(HttpRequest&) { return 1; }
int handleNotifyPage(HttpRequest&) { return 1; }
int handleRelayPage(HttpRequest&) { return 1; }
int handleSslPage(HttpRequest&) { return 1; }
int handleHttpSecurityPage(HttpRequest&) { return 1; }
int handleAuthenticationPage(HttpRequest&) { return 1; }
int handleDevAccPage(HttpRequest&) { return 1; }
int handleSetParams(HttpRequest&) { return 1; }
int handleShowParams(HttpRequest&) { return 1; }
int requestRestart(HttpRequest&) { return 1; }
