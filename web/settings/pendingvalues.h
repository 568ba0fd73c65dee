// Values the settings pages show that come from services not built yet.
// Each stands for one named operation and answers "nothing yet"; the
// module that builds the service replaces it here.
#ifndef WEB_SETTINGS_PENDINGVALUES_H
#define WEB_SETTINGS_PENDINGVALUES_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class HttpRequest;

// SessionTable::countLive: live administrator and user sessions.
void countLiveSessions(int* administrators, int* users);

// HttpRequest::addUsbTable: the USB device table variables of a page.
void addUsbTable(HttpRequest& request);

// The wireless status of the WLAN interface.
struct WlanStatus {
  bool known = false;  // false: nothing to show yet
  int mode = 0;        // 1 ad-hoc
  std::string modeName;
  std::string essid;
  std::string bitRate;
  int quality = 0;     // link quality 0..100
  std::string driver;
};
WlanStatus readWlanStatus();

// One result of the last WLAN scan, as the supplicant reports it.
struct WlanScanEntry {
  std::string bssid;
  int frequency = 0;  // MHz
  int level = 0;      // dBm
  std::string flags;  // e.g. "[WPA2-PSK-CCMP][ESS]"
  std::string ssid;
};
// A copy of the scan list, taken under its owner's lock.
std::vector<WlanScanEntry> copyWlanScanList();

// Mail client status: counters and the status texts of the last sessions.
struct MailStatus {
  unsigned long pop3Messages = 0;
  unsigned long refusedCommands = 0;
  unsigned long smtpSent = 0;
  std::string pop3Progress, pop3Error, smtpProgress, smtpError;
  int64_t nextPollSecond = 0;  // program clock second of the next poll
};
MailStatus readMailStatus();

// The cipher description recorded for the last TLS session of the USB
// server (0), the POP3 client (1) and the SMTP client (2); "" none.
std::string recordedCipherDescription(int service);

#endif
