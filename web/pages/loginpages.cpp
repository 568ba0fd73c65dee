// The login page ("/index.html") and the logout page ("/exit.html").
#include <string>

#include "params/store/paramstore.h"
#include "params/types/param.h"
#include "params/types/stringparam.h"
#include "runtime/text/gettext.h"
#include "runtime/tls/tlsconnection.h"
#include "web/http/httprequest.h"
#include "web/pages/pagehandlers.h"
#include "web/pages/sessionpagetable.h"
#include "web/sessions/sessioncookie.h"
#include "web/sessions/sessiontable.h"

namespace {

bool paramOn(const char* key) {
  Param* p = paramStore.find(key);
  return p != nullptr && p->isOn();
}

std::string displayTextOf(const char* key) {
  Param* p = paramStore.find(key);
  return p != nullptr ? p->displayText() : std::string();
}

std::string secretOf(const char* key) {
  StringParam* p = paramStore.findString(key);
  return p != nullptr ? p->getText() : std::string();
}

}  // namespace

int handleLogin(HttpRequest& request) {
  if (!paramOn("sessKeys")) {
    request.redirectTo("/start.html", nullptr);
    return 1;
  }
  const char* action = request.getFormValue("action");
  if (action == nullptr || std::string(action) != "set") return 1;
  const char* nameField = request.getFormValue("name");
  const std::string name = nameField != nullptr ? nameField : "";
  const char* pwd = request.getFormValue("pwd");

  const std::string adminName = displayTextOf("admin_name");
  const std::string userName = displayTextOf("any_name");
  int32_t level;
  std::string password;
  if (nameField != nullptr && name == adminName) {
    level = kSessionAdmin;
    password = secretOf("admin_pwd");
  } else if (nameField != nullptr && name == userName) {
    level = kSessionUser;
    password = secretOf("any_pwd");
  } else {
    request.setVariable("ErrMsg", getmuText("The user name is incorrect. Type your user name and password again."));
    return 1;
  }
  // Every password check takes the same time, whatever matched.
  const bool passwordOk = equalSecret(pwd, password.c_str()) && pwd != nullptr;
  password.assign(password.size(), '\0');
  if (!passwordOk) {
    request.setVariable("ErrMsg",
                        getmuText("The password is incorrect. Check your user name, then type your password again."));
    request.setVariable("LLoginName", name.c_str());
    return 1;
  }
  SessionEntry session;
  if (sessionTable.create(level, name.c_str(), &session) < 0) {
    request.setVariable("ErrMsg", getmuText("The maximum number of users has been reached. Please try again later."));
    return 1;
  }
  std::string cookie = std::string("Set-Cookie: SessKey=") + session.key + "; PATH=/; HttpOnly";
  // Where plain requests are only redirected, the key must never travel
  // in clear to the redirector.
  const bool overTls = request.connection != nullptr && request.connection->session != nullptr;
  if (overTls && !paramOn("http_allowed")) cookie += "; Secure";
  request.redirectTo("/start.html", cookie.c_str());
  return 1;
}

int handleLogout(HttpRequest& request) {
  char key[kSessionKeyLength + 1];
  if (sessionKeyFromCookie(request.cookieHeader, key)) sessionTable.removeByKeyOrName(key, nullptr);
  request.clearVariables();
  return show_page(request, "/index.html");
}
