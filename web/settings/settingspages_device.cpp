// Settings pages of the device: USB ports, time, notifications, relay and
// device access.
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "notify/alarmrelay.h"
#include "notify/notifytask.h"
#include "params/identity/productparams.h"
#include "params/store/paramstore.h"
#include "params/types/intparam.h"
#include "params/types/p3list.h"
#include "params/types/param.h"
#include "params/types/paramflags.h"
#include "runtime/text/gettext.h"
#include "snmp/snmpdconf.h"
#include "usbserver/devices/usbdevicerow.h"
#include "usbserver/devices/usbdevicetable.h"
#include "web/http/httprequest.h"
#include "web/pages/pagehandlers.h"
#include "web/settings/pendingvalues.h"
#include "web/settings/settingsform.h"
#include "web/settings/settingspages.h"

int handleUsbPage(HttpRequest& request) {
  const int result = runSettingsForm(request);
  if (result != 1) return result;
  addUsbTable(request);
  return 1;
}

int handleTimePage(HttpRequest& request) {
  const int result = runSettingsForm(request);
  if (result != 1) return result;
  request.setCurrentTimeVariable();
  return 1;
}

int handleNotifyPage(HttpRequest& request) {
  if (!(modelFeatureBits() & FEATURE_EMAIL)) return -1;
  const int result = runSettingsForm(request);
  if (result != 1) return result;
  for (int i = 1; i <= 2; ++i) {
    request.printfIndexedVariable("NotieSOk_", i, "%d", static_cast<int>(mailSuccessCount[i - 1].load()));
    request.printfIndexedVariable("NotieSKo_", i, "%d", static_cast<int>(mailFailureCount[i - 1].load()));
    const int traps = trapSinkCounters[i - 1].load();
    if (traps < 0)
      request.setIndexedVariable("TrapsOut_", i, "---");
    else
      request.printfIndexedVariable("TrapsOut_", i, "%d", traps);
  }
  return 1;
}

std::string formatRelayStamp(long stamp) {
  const time_t seconds = static_cast<time_t>(stamp);
  struct tm local;
  if (localtime_r(&seconds, &local) == nullptr) return std::string();
  int year = local.tm_year + 1900;
  int month = local.tm_mon + 1;
  int day = local.tm_mday;
  int hour = local.tm_hour;
  if (year <= 2015) {
    // The clock was never set: the stamp is the time since the start.
    year -= 1970;
    month -= 1;
    day -= 1;
    hour = hour == 0 ? 23 : hour - 1;
  }
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d\n", year, month, day, hour, local.tm_min,
                local.tm_sec);
  return text;
}

void addRelayVariables(HttpRequest& request) {
  IntParam* eves = paramStore.findInt("relay_eves");
  const uint32_t latched = eves != nullptr ? static_cast<uint32_t>(eves->value()) : 0;
  std::vector<RelayHistoryRow> rows;
  for (int bit = 0; bit < 32; ++bit) {
    if (!(latched & (1u << bit))) continue;
    for (int i = 0; i < RELAY_HISTORY_ROWS; ++i) {
      const RelayHistoryRow row = relayHistoryRow(i);
      if (row.code == 0) break;
      if (row.code == (1u << bit)) {
        rows.push_back(row);
        break;
      }
    }
  }
  std::stable_sort(rows.begin(), rows.end(),
                   [](const RelayHistoryRow& a, const RelayHistoryRow& b) { return a.time < b.time; });
  for (size_t j = 0; j < rows.size(); ++j) {
    request.setIndexedVariable("Eves_", static_cast<int>(j), getmuText(rows[j].text));
    request.setIndexedVariable("EveT_", static_cast<int>(j), formatRelayStamp(static_cast<long>(rows[j].time)).c_str());
  }
  request.printfVariable("Eves#", "%zu", rows.size());

  P3List* control = paramStore.findList("relay_ctrl");
  const char* state;
  if (control != nullptr && control->equals("fix")) {
    Param* on = paramStore.find("relay_on");
    state = on != nullptr && on->isOn() ? getmuText("Closed (fixed)") : getmuText("Open (fixed)");
  } else {
    state = rows.empty() ? getmuText("open") : getmuText("Closed");
  }
  request.setVariable("RelayState", state);
  request.setVariable("RelayStatOrEve",
                      control != nullptr && control->equals("stat") ? getmuText("Status") : getmuText("Event"));
}

int handleRelayPage(HttpRequest& request) {
  if (!(modelFeatureBits() & FEATURE_RELAY)) return -1;
  if (request.getFormValue("clear") != nullptr) {
    clearRelayEvents();
  } else {
    const int result = runSettingsForm(request);
    if (result != 1) return result;
  }
  addRelayVariables(request);
  return 1;
}

int handleDevAccPage(HttpRequest& request) {
  if (!(modelFeatureBits() & FEATURE_ACCCTRL)) return -1;
  const int result = runSettingsForm(request);
  if (result != 1) return result;
  const int keys = paramStore.highestIndex("zov_keyval_", 11);
  for (int i = 1; i <= keys; ++i) {
    Param* key = paramStore.find("zov_keyval_", -1, i);
    if (key != nullptr) request.setVariable(key->key(), key->displayText().c_str());
  }
  const int ports = static_cast<int>(productParams().usb_ports_phy);
  for (int port = 1; port <= ports && port <= 20; ++port) {
    std::string ids;
    lockUsbDeviceTable(1);
    for (int row = 0; row < USB_TABLE_ROWS; ++row) {
      const UsbDeviceRow& device = usbDeviceTable[row];
      if (!device.isPresent() || device.port != port) continue;
      char text[16];
      std::snprintf(text, sizeof text, "%04x:%04x ", device.idVendor & 0xffff, device.idProduct & 0xffff);
      ids += text;
    }
    lockUsbDeviceTable(0);
    if (!ids.empty()) request.setIndexedVariable("VendProds_", port, ids.c_str());
  }
  addUsbTable(request);
  return 1;
}
