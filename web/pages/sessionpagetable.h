// The program's page table: the page rows with the web sessions behind
// them, and the page operations handlers answer with.
#ifndef WEB_PAGES_SESSIONPAGETABLE_H
#define WEB_PAGES_SESSIONPAGETABLE_H

#include "web/pages/pagetable.h"

class SessionPageTable : public PageTable {
 public:
  // Builds the table over pageRows and loads the saved sessions unless
  // kickOff is 0 (a first start).
  explicit SessionPageTable(int kickOff);
  // Saves the sessions.
  ~SessionPageTable() override;

  // Session keys on: the caller's session (cookie "SessKey") must reach
  // the row's level; sets "SessKey", "SessUsr", "SessAdm", "SessGod" and
  // the request's sessionLevel, or "ErrMsg" when refused.
  int checkAccess(int32_t row, HttpRequest& request) override;
  int showRedirector(HttpRequest& request, int toHttps) override;

  // Writes the session image; the listener calls it when it ends.
  int saveSessions();
};

// Answers with the named template (as template text through a pipe); a
// handler result, -1 when no pipe could be made.
int show_page(HttpRequest& request, const char* path);
// The wait page with a message ("DisplayMsg"), refreshing to the request's
// refresh target ("/start.html" when none is set).
int showWaitPage(HttpRequest& request, const char* message);

// Reads the serial number of the wireless module, where there is one.
void readWlanSerial();

#endif
