#include "app/pending.h"

#include <cstdio>

#include "params/store/paramstore.h"
#include "params/types/param.h"

namespace {

bool hasValue(const char* key) {
  Param* p = paramStore.find(key);
  return p && p->hasValue();
}

}  // namespace

bool startStorageTask() { return false; }
bool startBlinker() { return false; }

int startWpaSupplicant(int, const char*) { return 0; }
bool startWlanTask(NetInterface&, int) { return false; }
bool startWpaCfgTask() { return false; }

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

bool sendNotificationMail(uint32_t codes) {
  if (hasValue("mailto_1") || hasValue("mailto_2"))
    std::fprintf(stderr, "sendEventMail: mail not built, codes 0x%x not sent\n", static_cast<unsigned>(codes));
  return false;
}
bool pollNotificationMailbox() { return false; }
void closeMailSessions() {}
void reannounceStorageMedium() {}
