#include "web/pages/restartrequest.h"

#include <atomic>
#include <cstdio>

#include "runtime/text/gettext.h"
#include "web/http/httprequest.h"
#include "web/pages/pagehandlers.h"
#include "web/pages/waitpage.h"

namespace {
std::atomic<WebRestartStarter> restartStarter{nullptr};
}

void setWebRestartStarter(WebRestartStarter starter) { restartStarter.store(starter); }

bool startWebRestart(bool cold) {
  WebRestartStarter starter = restartStarter.load();
  if (starter == nullptr) {
    std::fprintf(stderr, "requestRestart: no shutdown task in this program\n");
    return false;
  }
  return starter(kWebRestartDelaySeconds, cold);
}

int requestRestart(HttpRequest& request) {
  const bool cold = request.getFormValue("cold") != nullptr;
  // A restart that did not start must not be announced as one.
  if (!startWebRestart(cold)) return -1;
  return answerWithWaitPage(request, getmuText("The device is restarting."));
}
