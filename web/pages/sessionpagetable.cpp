#include "web/pages/sessionpagetable.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "params/identity/productparams.h"
#include "params/store/paramstore.h"
#include "params/types/param.h"
#include "web/http/httprequest.h"
#include "web/pages/pagerows.h"
#include "web/sessions/sessioncookie.h"
#include "web/sessions/sessiontable.h"

namespace {

bool sessionKeysOn() {
  Param* keys = paramStore.find("sessKeys");
  return keys != nullptr && keys->isOn();
}

const char* skinOfProduct() { return productParams().product_id == 365 ? "KOLAR" : nullptr; }

}  // namespace

SessionPageTable::SessionPageTable(int kickOff) : PageTable(pageRows, kPageRowCount, skinOfProduct()) {
  // Diagnostics interleave with other tasks' lines: keep them whole.
  std::setvbuf(stdin, nullptr, _IOLBF, 0);
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  readWlanSerial();
  sessionTable.load(kSessionFile, kickOff);
}

SessionPageTable::~SessionPageTable() { saveSessions(); }

int SessionPageTable::saveSessions() { return sessionTable.save(kSessionFile); }

int SessionPageTable::checkAccess(int32_t row, HttpRequest& request) {
  if (!sessionKeysOn()) return PageTable::checkAccess(row, request);
  if (!chkPageNo(row)) return 0;
  const int32_t level = rows_[row].level;
  if (level == LEVEL_OPEN) return 1;
  char key[kSessionKeyLength + 1];
  if (!sessionKeyFromCookie(request.cookieHeader, key)) {
    if (level == LEVEL_OPEN_SESSION) return 1;
    request.setVariable("ErrMsg", "Illegal request.You are not logged in.");
    return 0;
  }
  SessionEntry session;
  const int found = sessionTable.findByKey(key, rows_[row].touch, &session);
  const bool live = found >= 0;
  if (level == LEVEL_OPEN_SESSION && !live) return 1;
  if (!live) {
    request.setVariable("ErrMsg", found == -2 ? "Session key timed out" : "Invalid session key");
    return 0;
  }
  const bool reserved = found == kSessionReservedRow;
  // Pages open to everyone only show who is logged in; the rest need rights.
  if (level != LEVEL_OPEN_SESSION && (session.level < level || (reserved && level != LEVEL_RESERVED))) {
    request.setVariable("ErrMsg", "Insufficient rights");
    if (reserved) request.setVariable("SessGod", "1");
    return 0;
  }
  request.setVariable("SessKey", session.key);
  request.setVariable("SessUsr", session.name);
  request.setVariable("SessAdm", session.level == kSessionAdmin ? "1" : "0");
  if (reserved) request.setVariable("SessGod", "1");
  request.sessionLevel = session.level;
  return 1;
}

int SessionPageTable::showRedirector(HttpRequest& request, int toHttps) {
  request.refreshTarget = "/start.html";
  request.refreshDelay = toHttps ? -3 : 1;
  return show_page(request, "/redirector.html");
}

int show_page(HttpRequest& request, const char* path) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    std::fprintf(stderr, "show_page %s:%d pipe failed: %s\n", "http", __LINE__, std::strerror(errno));
    return -1;
  }
  const std::string text = std::string("{.") + (path != nullptr ? path : "/index.html") + "}\n";
  // A few bytes into an empty pipe: the write cannot block.
  const bool written = ::write(fds[1], text.data(), text.size()) == static_cast<ssize_t>(text.size());
  ::close(fds[1]);
  if (!written) {
    ::close(fds[0]);
    return -1;
  }
  request.contentType = "text/html";
  request.attachmentName.clear();
  return (fds[0] << 8) | kAnswerTemplate;
}

int showWaitPage(HttpRequest& request, const char* message) {
  if (request.refreshTarget == nullptr) request.refreshTarget = "/start.html";
  if (message != nullptr && *message != '\0') request.setVariable("DisplayMsg", message);
  return show_page(request, "/wait4.html");
}
