#include "app/pending.h"

bool startStorageTask() { return false; }
bool startHttpServer(NetInterface&, int, int) { return false; }
bool startNotifyTask(NetInterface&, bool) { return false; }
bool notifyTaskRunning() { return false; }
void pushNotifyEvent(uint32_t, int32_t) {}
bool startBlinker() { return false; }

int startWpaSupplicant(int, const char*) { return 0; }
bool startWlanTask(NetInterface&, int) { return false; }
bool startWpaCfgTask() { return false; }

void signalRelayEvent(int) {}

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
