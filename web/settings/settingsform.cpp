#include "web/settings/settingsform.h"

#include <cstring>
#include <string>

#include "params/store/paramstore.h"
#include "params/types/intparam.h"
#include "params/types/paramflags.h"
#include "runtime/task/task.h"
#include "runtime/text/gettext.h"
#include "web/http/httprequest.h"
#include "web/pages/pagehandlers.h"
#include "web/pages/pagetable.h"
#include "web/pages/restartrequest.h"

uint32_t modelFeatureBits() {
  IntParam* features = paramStore.findInt("sw_features");
  return features != nullptr ? static_cast<uint32_t>(features->value()) : 0;
}

namespace {

void refreshToThisPage(HttpRequest& request) {
  if (pageTable != nullptr) pageTable->setRefreshTarget(request);
}

}  // namespace

int runSettingsForm(HttpRequest& request, void (*beforeCommit)()) {
  const char* action = request.getFormValue("action");
  if (action == nullptr || std::strcmp(action, "set") != 0) return 1;

  std::string refused;
  const int taken = request.applyFormToParams(nullptr, nullptr, &refused);
  if (!refused.empty()) {
    // A refused value keeps the stored one; say so, whatever else was saved.
    std::string text = getmuText("Not accepted, the stored value stays:");
    text += ' ';
    text += refused;
    request.setVariable("ErrMsg", text.c_str());
  }
  if (taken == 0) return 1;
  if (beforeCommit != nullptr) beforeCommit();

  const int bits = paramStore.commitAndSave();
  if (bits & CHANGE_REBOOT) {
    refreshToThisPage(request);
    return requestRestart(request);
  }
  if (bits & CHANGE_ANY) request.setVariable("HeadInfo", getmuText("Parameters have been changed."));
  if (bits & CHANGE_RESTART) {
    refreshToThisPage(request);
    broadcastToTasks(TaskMessage{0, MSG_PARAMS_CHANGED, 0, 0});
  }
  return 1;
}

int handleSettingsForm(HttpRequest& request) { return runSettingsForm(request); }

int handleDescriptionPage(HttpRequest& request) { return runSettingsForm(request); }

int handleShowParams(HttpRequest& request) {
  request.printfVariable("params#", "%d", paramStore.countVisible(PF_NOREPORT | PF_NOSNMP));
  return 1;
}
