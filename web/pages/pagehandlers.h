// The handlers of the page table's rows. Each prepares its page on the
// request's task and returns a handler result (see PageHandler).
#ifndef WEB_PAGES_PAGEHANDLERS_H
#define WEB_PAGES_PAGEHANDLERS_H

class HttpRequest;

// Login, logout and the start page.
int handleLogin(HttpRequest& request);
int handleLogout(HttpRequest& request);
int handleStartPage(HttpRequest& request);

// Settings pages.
int handleSettingsForm(HttpRequest& request);
int handleDescriptionPage(HttpRequest& request);
int handleIpv4Page(HttpRequest& request);
int handleIpv6Page(HttpRequest& request);
int handleIp4VlanPage(HttpRequest& request);
int handleBonjourPage(HttpRequest& request);
int handleEmailPage(HttpRequest& request);
int handleWlanPage(HttpRequest& request);
int handleUsbPage(HttpRequest& request);
int handleTimePage(HttpRequest& request);
int handleNotifyPage(HttpRequest& request);
int handleRelayPage(HttpRequest& request);
int handleSslPage(HttpRequest& request);
int handleHttpSecurityPage(HttpRequest& request);
int handleAuthenticationPage(HttpRequest& request);
int handleDevAccPage(HttpRequest& request);
int handleSetParams(HttpRequest& request);
int handleShowParams(HttpRequest& request);

// Security and maintenance pages.
int handleCertificatePage(HttpRequest& request);
int handleCertGenerate(HttpRequest& request);
int handleCertStore(HttpRequest& request);
int handleShowCert(HttpRequest& request);
int handleShowForeignCert(HttpRequest& request);
int handleShowMimeCert(HttpRequest& request);
int handleShowCa(HttpRequest& request);
int handleShowRequest(HttpRequest& request);
int handleSdCardPage(HttpRequest& request);
int requestRestart(HttpRequest& request);
int handleFactoryReset(HttpRequest& request);
int handleUpdatePage(HttpRequest& request);
int handleUpdateCheck(HttpRequest& request);

// Downloads and information pages.
int serveDownload(HttpRequest& request);
int handleInfoIndex(HttpRequest& request);
int handleInfoThreads(HttpRequest& request);
int handleInfoFilter(HttpRequest& request);
int handleInfoUsb(HttpRequest& request);
int handleInfoDir(HttpRequest& request);
int handleInfoFile(HttpRequest& request);
int handleInfoNet(HttpRequest& request);
int handleInfoDev(HttpRequest& request);
int handleCleanCerts(HttpRequest& request);
int handleInfoWlan(HttpRequest& request);

#endif
