#include "app/pending.h"

bool startStorageTask() { return false; }
bool startHttpServer(NetInterface&, int, int) { return false; }
bool startBootpClient(NetInterface&) { return false; }
bool startSlpAgent(NetInterface&) { return false; }
bool startBonjourResponder(NetInterface&) { return false; }
int bonjourRunning() { return -1; }
bool startSnmpAgent(NetInterface&) { return false; }
int writeSnmpdConf(bool* trapSinks) { return trapSinks ? (*trapSinks = false, 0) : 0; }
bool startNotifyTask(NetInterface&, bool) { return false; }
bool notifyTaskRunning() { return false; }
void pushNotifyEvent(uint32_t, int32_t) {}
bool startBlinker() { return false; }
bool startArpPing(NetInterface&) { return false; }

int startWpaSupplicant(int, const char*) { return 0; }
bool startWlanTask(NetInterface&, int) { return false; }
bool startWpaCfgTask() { return false; }

void signalRelayEvent(int) {}
int writeResolvConf() { return 0; }
void reloadResolverConfig() {}
int sendGratuitousArp(NetInterface&, const IpAddress&) { return 0; }

int mountRomfs() { return 0; }
int unmountRomfs() { return 0; }
void deleteImportedKey() {}
int installRootCaCert() { return 0; }
void setCertAttribute(const char*, const char*) {}
void createCertInfo() {}
int validateCertRequest(int) { return 0; }
bool startCertGenerator() { return false; }
void releaseCertInfo() {}

void sampleSystemLoad() {}
