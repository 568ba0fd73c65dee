// Starters of the discovery services ("Bonjour", "SLP").
#ifndef APP_DISCOVERYSTART_H
#define APP_DISCOVERYSTART_H

#include "net/discovery/bonjourtask.h"  // bonjourRunning

class NetInterface;

// "Bonjour" on the web listener ports; false when its thread did not start.
bool startBonjourResponder(NetInterface& nif);
// "SLP", restarting the device through "ShutDown" after an address change.
bool startSlpAgent(NetInterface& nif);

#endif
