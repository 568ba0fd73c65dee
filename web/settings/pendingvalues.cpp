#include "web/settings/pendingvalues.h"

void countLiveSessions(int* administrators, int* users) {
  if (administrators != nullptr) *administrators = 0;
  if (users != nullptr) *users = 0;
}

void addUsbTable(HttpRequest&) {}

WlanStatus readWlanStatus() { return WlanStatus(); }

std::vector<WlanScanEntry> copyWlanScanList() { return {}; }

MailStatus readMailStatus() { return MailStatus(); }

std::string recordedCipherDescription(int) { return std::string(); }
