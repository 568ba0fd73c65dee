// Start of the discovery services: the mDNS responder "Bonjour" and the
// SLP agent "SLP".
#include "app/discoverystart.h"

#include "app/processstate.h"
#include "app/shutdowntask.h"
#include "net/discovery/bonjourtask.h"
#include "net/discovery/slptask.h"

bool startBonjourResponder(NetInterface& nif) {
  BonjourTask::setServicePorts(static_cast<uint16_t>(httpsListenPort > 0 ? httpsListenPort : 443),
                               static_cast<uint16_t>(httpListenPort > 0 ? httpListenPort : 80));
  return startBonjourTask(nif);
}

bool startSlpAgent(NetInterface& nif) {
  setSlpRestartHook(startShutDown);
  return startSlpTask(nif);
}
