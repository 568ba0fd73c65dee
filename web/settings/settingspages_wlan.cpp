// The WLAN page: the supplicant's scan, the wireless status and the scan
// list, from which a click copies a network into the form.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "params/store/paramstore.h"
#include "params/types/param.h"
#include "runtime/file/paths.h"
#include "runtime/text/gettext.h"
#include "web/http/httprequest.h"
#include "web/pages/pagehandlers.h"
#include "web/pages/pagetable.h"
#include "web/pages/waitpage.h"
#include "web/settings/pendingvalues.h"
#include "web/settings/settingsform.h"
#include "web/settings/settingspages.h"

namespace {

bool contains(const std::string& text, const char* part) { return text.find(part) != std::string::npos; }

// Asks the supplicant of wlan0 to scan; false when its socket is missing.
bool requestWlanScan() {
  const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  // A local address of the kernel's choosing (autobind), so the
  // supplicant's reply has somewhere to go and requests never collide.
  sockaddr_un local{};
  local.sun_family = AF_UNIX;
  sockaddr_un remote{};
  remote.sun_family = AF_UNIX;
  const std::string path = mapPath("/var/wifi/wlan0");
  bool sent = false;
  if (path.size() < sizeof remote.sun_path &&
      ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof(sa_family_t)) == 0) {
    std::memcpy(remote.sun_path, path.c_str(), path.size() + 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote) == 0)
      sent = ::send(fd, "SCAN", 4, MSG_DONTWAIT) == 4;
  }
  ::close(fd);
  return sent;
}

int channelOfFrequency(int mhz) {
  if (mhz == 2484) return 14;
  if (mhz >= 2412 && mhz < 2484) return (mhz - 2407) / 5;
  if (mhz >= 5000 && mhz < 6000) return (mhz - 5000) / 5;
  return 0;
}

std::string levelPicture(int value, bool quoted) {
  char text[40];
  std::snprintf(text, sizeof text, quoted ? "\"/pics/wlan%03d.png\"" : "/pics/wlan%03d.png", value);
  return text;
}

void addWlanStatusVariables(HttpRequest& request) {
  const WlanStatus status = readWlanStatus();
  if (!status.known) return;
  Param* onAir = paramStore.find("wifi_onair");
  const bool connected = onAir != nullptr && onAir->isOn();
  request.setVariable("wifi_curstat", status.modeName.c_str());
  request.setVariable("wifi_curname", status.essid.c_str());
  request.setVariable("wifi_curspeed", connected ? status.bitRate.c_str() : "---");
  if (connected)
    request.printfVariable("wifi_curlevel", "%d", status.quality);
  else
    request.setVariable("wifi_curlevel", "---");
  const int rounded = (status.quality + 10) / 20 * 20;
  request.setMarkupVariable("wifi_levpic",
                            status.mode == 1 ? "/pics/wlan060.png" : levelPicture(rounded, true).c_str());
  request.setVariable("wifi_manu", status.driver.c_str());
}

}  // namespace

int wlanEncryptionCode(const std::string& flags) {
  const size_t wpa = flags.find("WPA");
  if (wpa == std::string::npos) return 0;
  const size_t wpa2 = flags.find("WPA2");
  const bool second = wpa2 != std::string::npos;
  const std::string rest = flags.substr(second ? wpa2 : wpa);
  if (!contains(rest, "PSK")) return 0;
  const bool tkip = contains(rest, "TKIP");
  const bool ccmp = contains(rest, "CCMP");
  if (tkip && ccmp) return second ? 8 : 7;
  if (tkip) return second ? 5 : 3;
  if (ccmp) return second ? 6 : 4;
  return 0;
}

int wlanLevelPicture(int level) {
  if (level >= -44) return 100;
  if (level >= -64) return 80;
  if (level >= -74) return 60;
  if (level >= -84) return 40;
  if (level >= -89) return 20;
  return 0;
}

std::string escapeJavaScriptText(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7f || c == '\\' || c == '\'' || c == '"' || c == '<' || c == '>' || c == '&') {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

void addWlanScanVariables(HttpRequest& request, const std::vector<WlanScanEntry>& entries) {
  int b = 0;
  for (const WlanScanEntry& entry : entries) {
    ++b;
    const bool adHoc = contains(entry.flags, "IBSS");
    const int channel = channelOfFrequency(entry.frequency);
    request.setMarkupVariable(("wifilpic_" + std::to_string(b)).c_str(),
                              levelPicture(wlanLevelPicture(entry.level), true).c_str());
    request.setIndexedVariable("wifilname_", b, entry.ssid.c_str());
    const std::string title = std::string(getmuText("Copy configuration data of:")) + " " + entry.bssid;
    request.setIndexedVariable("wifiltitle_", b, title.c_str());
    request.setIndexedVariable("wifilcrypt_", b, entry.flags.empty() ? "ERROR" : entry.flags.c_str());
    char type[96];
    std::snprintf(type, sizeof type, "%s [%d / %d MHz]", adHoc ? "AdHoc" : "Infrastructure", channel,
                  entry.frequency);
    request.setIndexedVariable("wifiltype_", b, type);
    char set[400];
    std::snprintf(set, sizeof set, "'%s',%d,%d,%d", escapeJavaScriptText(entry.ssid).c_str(),
                  wlanEncryptionCode(entry.flags), adHoc ? 1 : 0, channel - 1);
    request.setIndexedVariable("wifilset_", b, set);
  }
  request.printfVariable("wifilname#", "%d", b);
}

int handleWlanPage(HttpRequest& request) {
  const char* root = request.getFormValue("EAProot");
  if (root != nullptr) chooseEapRoot(root);
  const int result = runSettingsForm(request);
  if (result != 1) return result;
  if (request.getFormValue("scanNow") != nullptr && requestWlanScan()) {
    if (pageTable != nullptr) pageTable->setRefreshTarget(request);
    request.refreshDelay = 6;
    return answerWithWaitPage(request, getmuText("Please wait..."));
  }
  addWlanStatusVariables(request);
  addWlanScanVariables(request, copyWlanScanList());
  listEapRootCerts(request);
  return 1;
}
