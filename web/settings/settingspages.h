// Pieces of the settings pages that are worth calling alone: the lists a
// page builds from files and from the state of other services.
#ifndef WEB_SETTINGS_SETTINGSPAGES_H
#define WEB_SETTINGS_SETTINGSPAGES_H

#include <string>
#include <vector>

#include "web/settings/pendingvalues.h"

class HttpRequest;

// "ipv6_addrlist_<n>" for each address of interfaceName in the file at
// path (the kernel's if_inet6 format) and "ipv6_addrlist_#"; the count, or
// -1 when the file cannot be read (then no variable is set).
int addIpv6AddressVariables(HttpRequest& request, const char* path, const char* interfaceName);

// The relay history of the latched events as "Eves_<j>", "EveT_<j>",
// "Eves#" (oldest first) and "RelayState", "RelayStatOrEve".
void addRelayVariables(HttpRequest& request);
// A stamp of the relay history as the page shows it: local time, or,
// before the clock was set (year 2015 or earlier), fields counted from
// the epoch.
std::string formatRelayStamp(long stamp);

// The scan list variables of the WLAN page from entries.
void addWlanScanVariables(HttpRequest& request, const std::vector<WlanScanEntry>& entries);
// The encryption code of scan flags (the row of the encryption list).
int wlanEncryptionCode(const std::string& flags);
// The level picture of a signal level in dBm, and of a link quality.
int wlanLevelPicture(int levelDbm);
// The SSID as a JavaScript string body: backslash, quotes, < > & and
// control characters as \xHH, so it is safe in a script and an attribute.
std::string escapeJavaScriptText(const std::string& text);

// "EAProot": accepts exactly eight hexadecimal digits and ".0" naming an
// existing file of /flash (linked as the EAP root certificate), or "" /
// "---" (the link is removed); anything else changes nothing. 1 when it
// acted.
int chooseEapRoot(const char* choice);
// The EAP root choices: "Root_<n>", "EAProot_<n>", "OHash_<n>", "Root#".
// Unreadable files are left out, never deleted. The number of choices.
int listEapRootCerts(HttpRequest& request);

#endif
