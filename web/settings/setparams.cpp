// The upload of a whole parameter file (maintenance page "backup").
#include <unistd.h>

#include "params/store/paramstore.h"
#include "params/types/paramflags.h"
#include "runtime/task/task.h"
#include "runtime/text/gettext.h"
#include "web/http/httprequest.h"
#include "web/pages/pagehandlers.h"
#include "web/pages/waitpage.h"

namespace {

int refuseUpload(HttpRequest& request) {
  return answerWithWaitPage(request, getmuText("Invalid parameter file. No parameters have been changed."));
}

}  // namespace

int handleSetParams(HttpRequest& request) {
  // An upload the engine refused (none, or too large) arrives without file.
  if (request.uploadFd < 0) return refuseUpload(request);
  ::lseek(request.uploadFd, 0, SEEK_SET);
  paramStore.loadFromFd(&request.uploadFd);  // takes the descriptor
  request.uploadFd = -1;
  const int bits = paramStore.resetModified();
  if (bits == 0) return refuseUpload(request);
  if (bits & CHANGE_SAVE) paramStore.save("/etc/params.dat");
  if (bits & CHANGE_REBOOT) return requestRestart(request);
  if (bits & CHANGE_RESTART) broadcastToTasks(TaskMessage{0, MSG_PARAMS_CHANGED, 0, 0});
  return answerWithWaitPage(request, getmuText("Parameters are changed. Please wait."));
}
