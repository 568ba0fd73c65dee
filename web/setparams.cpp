// The upload of a whole parameter file (maintenance page "backup").
#include <unistd.h>

#include "params/paramflags.h"
#include "params/paramstore.h"
#include "runtime/task.h"
#include "runtime/gettext.h"
#include "web/httprequest.h"
#include "web/pagehandlers.h"
#include "web/waitpage.h"

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
