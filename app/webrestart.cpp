#include "app/webrestart.h"

#include "app/processstate.h"
#include "app/shutdowntask.h"
#include "web/pages/restartrequest.h"

namespace {

bool startRestartFromWeb(int delaySeconds, bool cold) {
  if (cold) exitCode.store(EXIT_REBOOT);
  return startShutDown(delaySeconds);
}

}  // namespace

void installWebRestart() { setWebRestartStarter(startRestartFromWeb); }
