#include "app/startup.h"

#include <pthread.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "app/appcommiteffects.h"
#include "app/buttontask.h"
#include "app/discoverystart.h"
#include "app/gpiodevice.h"
#include "app/lazyhubwatcher.h"
#include "app/notifystart.h"
#include "app/pending.h"
#include "app/processstate.h"
#include "app/shutdowntask.h"
#include "app/signals.h"
#include "app/supervision.h"
#include "app/webrestart.h"
#include "net/address/addresssetters.h"
#include "net/address/arppingtask.h"
#include "net/address/gratuitousarp.h"
#include "net/address/zeroconf.h"
#include "net/dhcp/bootptask.h"
#include "net/filter/packetfilter.h"
#include "net/interface/ipv6setup.h"
#include "net/interface/netinterface.h"
#include "net/system/resolvconf.h"
#include "net/system/syslog.h"
#include "net/time/ntptask.h"
#include "net/time/timezone.h"
#include "notify/alarmrelay.h"
#include "params/identity/productparams.h"
#include "params/store/paramstore.h"
#include "params/table/modeladjust.h"
#include "params/types/intparam.h"
#include "params/types/ip4param.h"
#include "params/types/p3list.h"
#include "params/types/paramflags.h"
#include "platform/board/boarddriver.h"
#include "runtime/file/paths.h"
#include "runtime/socket/ipaddress.h"
#include "runtime/task/task.h"
#include "runtime/text/gettext.h"
#include "runtime/tls/tlsinit.h"
#include "snmp/privatemib.h"
#include "snmp/snmpagent.h"
#include "snmp/snmpdconf.h"
#include "web/http/httpserver.h"

namespace {

constexpr uint32_t kWlanCompatBits = 0x4405a02;
constexpr uint32_t kIpv6CompatBit = 0x80;
constexpr uint32_t kNoLinkWaitProduct = 357;
constexpr uint32_t kPhyProbeProduct = 330;
constexpr uint32_t kRunningFlagProduct = 353;
constexpr int kLinkTries = 4;
constexpr const char kParamFile[] = "/etc/params.dat";

// The manufacturer's entries of the first certificate request.
constexpr const char kMakerLocality[] = "Berlin";
constexpr const char kMakerOrganisation[] = "pel";
constexpr const char kMakerMail[] = "support@pel.example";

// Relay events of the start-up.
constexpr int kRelayStarted = 1;
constexpr int kRelayLinkDown = 2;
constexpr int kRelayLinkUp = 4;

AppCommitEffects boardCommitEffects(gpioDevice, &lanInterface);

void sleepMs(long ms) {
  timespec left{ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

// The start-up's waits have no time limit on the appliance (a device
// without cable stays in start-up). A SIGINT or SIGTERM ends them, so the
// program can still be stopped: the start-up then runs on and the loop
// ends the program as for any shutdown request.
bool stopRequested() { return signalShutdownRequests() != 0; }

uint32_t features() {
  IntParam* p = paramStore.findInt("sw_features");
  return p ? static_cast<uint32_t>(p->value()) : 0u;
}

bool paramOn(const char* key) {
  Param* p = paramStore.find(key);
  return p && p->isOn();
}

void setExitCodeHook(int code) { exitCode.store(code); }

void writeDirtyInterval(const char* fixedPath) {
  FILE* f = std::fopen(mapPath(fixedPath).c_str(), "w");
  if (!f || std::fputs("100", f) < 0) std::perror(fixedPath);
  if (f && std::fclose(f) != 0) std::perror(fixedPath);
}

void countStart() {
  IntParam* life = paramStore.findInt("life");
  if (life) life->setChecked(life->value() + 1);
  if (paramStore.resetModified() & CHANGE_SAVE) paramStore.save(kParamFile);
}

void startButtonTask() {
  ButtonTask* task = new ButtonTask(&gpioDevice);
  if (task->start(BUTTON_TASK_STACK) < 0) delete task;
}

void bringUpLan() {
  lanInterface.setName("eth0");
  lanInterface.openSocket();
  lanInterface.bringUp();
  while (!lanInterface.isUp(nullptr, 0) && !stopRequested()) {
    signalRelayEvent(kRelayLinkDown);
    sleepMs(100);
  }
  signalRelayEvent(kRelayLinkUp);
}

bool ethernetLinkUp(uint32_t product) {
  if (product == kRunningFlagProduct) return lanInterface.isRunning() == 1;
  return lanInterface.getLinkState(nullptr) == 1;
}

// Which interface to use, and whether a change of the Ethernet link must
// restart the program.
void chooseInterface(SupervisionSetup& setup, bool wlanOn) {
  setup.useLanInterface = !wlanOn;
  if (wlanOn) {
    if (setup.productId == kNoLinkWaitProduct || (setup.productId == kPhyProbeProduct && !lanInterface.probePhy())) {
      setup.watchLanLink = false;
      return;
    }
    setup.watchLanLink = true;
    for (int i = 0; i < kLinkTries; ++i) {
      if (lanInterface.getLinkState(nullptr) == 1) {
        setup.useLanInterface = true;
        break;
      }
      if (i + 1 < kLinkTries) sleepMs(1000);
    }
    return;
  }
  while (!ethernetLinkUp(setup.productId) && !stopRequested()) sleepMs(500);
  setup.watchLanLink = true;
}

void setWifiOnAir(int value) {
  if (IntParam* p = paramStore.findInt("wifi_onair")) p->setValue(value);
}

void startSupplicants(const SupervisionSetup& setup, bool wlanOn) {
  activeInterface = &lanInterface;
  if (wlanOn) {
    wlanInterface.setName("wlan0");
    wlanInterface.openSocket();
    startWpaSupplicant(1, "wlan0");
    startWlanTask(wlanInterface, 1);
  }
  if (setup.useLanInterface) {
    setWifiOnAir(0);
  } else {
    activeInterface = &wlanInterface;
    startWpaCfgTask();
    setWifiOnAir(1);
  }
  P3List* auth = paramStore.findList("auth_typ");
  if (auth && !auth->equals("---") && !setup.wlanModel) {
    startWpaSupplicant(0, "eth0");
    startWlanTask(lanInterface, 0);
    startWpaCfgTask();
  }
}

void printBanner() {
  Param* addr = paramStore.find("ip_addr");
  Param* mask = paramStore.find("ip_mask");
  std::fprintf(stderr, "\n#\n##\n#### %s Master running on %s ip:%s/%s HTTP:%d HTTPS:%d KickOff:%d ####\n##\n#\n", "pel",
               activeInterface->name(), addr ? addr->displayText().c_str() : "",
               mask ? mask->displayText().c_str() : "", httpListenPort, httpsListenPort, kickOffValue);
}

long fileSize(const char* fixedPath) {
  struct stat st;
  if (::stat(mapPath(fixedPath).c_str(), &st) != 0) return -1;
  return static_cast<long>(st.st_size);
}

void prepareCertificates() {
  if (fileSize("/flash/cert_fpkey.pem") > 1 && fileSize("/flash/cert_fsrv.pem") < 1) deleteImportedKey();
  initTls(static_cast<uint64_t>(installRootCaCert()));

  if (fileSize("/flash/cert_pkey.pem") >= 0) {
    createCertInfo();
    return;
  }
  const ProductParams& product = productParams();
  char year[16], month[16], endYear[16];
  std::snprintf(year, sizeof year, "%d", static_cast<int>(product.year));
  std::snprintf(month, sizeof month, "%d", static_cast<int>(product.month));
  std::snprintf(endYear, sizeof endYear, "%d", static_cast<int>(product.year) + 2);
  setCertAttribute("ctry", "DE");
  setCertAttribute("sn", "Germany");
  setCertAttribute("ln", kMakerLocality);
  setCertAttribute("on", kMakerOrganisation);
  setCertAttribute("mail", kMakerMail);
  setCertAttribute("cn", product.default_name);
  setCertAttribute("syear", year);
  setCertAttribute("smon", month);
  setCertAttribute("sday", "1");
  setCertAttribute("eyear", endYear);
  setCertAttribute("emon", month);
  setCertAttribute("eday", "1");
  if (validateCertRequest(3)) startCertGenerator();  // 3: self-signed
}

// Sets the IPv4 address of the parameters (a ZeroConf one when there is
// none) and what goes with it; the address set.
IpAddress setUpIpv4(bool ipv6Model) {
  NetInterface& nif = *activeInterface;
  Ip4Param* param = paramStore.findIp4("ip_addr");
  IpAddress address = param ? param->address() : IpAddress();
  if (!param || !param->hasValue()) {
    makeZeroconfAddress(address, nif);
    if (param) param->setAddress(address);
    if (Param* setBy = paramStore.find("ip_setby")) setBy->set("zconf");
  }
  setAsInterfaceAddress(address, nif, nullptr, 0);
  if (address.isLinkLocal4()) {
    nif.routeLinkLocal();
    std::fprintf(stderr, "### ZeroConf IP:%s setup linklocal configuration ###\n", ipText(address));
    if (paramOn("ip_auto")) startArpPing(nif);
    return address;
  }
  Ip4Param* gate = paramStore.findIp4("ip_gate");
  if (gate && gate->hasValue()) {
    IpAddress gateway = gate->address();
    setAsDefaultGateway(gateway, nif, 1);
    std::fprintf(stderr, "### Non Zeronf IP:%s setup default Gate:%s ###\n", ipText(address), ipText(gateway));
  }
  if (ipv6Model && paramOn("ipv6")) nif.applyIpv6Settings();
  return address;
}

void startServices() {
  NetInterface& nif = *activeInterface;
  startHttpListener(httpListenPort, httpsListenPort, &nif, kickOffValue);
  startTimeClient(nif);
  if (paramOn("ip_bootp") || paramOn("ip_dhcp")) {
    while (!nif.isRunning() && !stopRequested()) sleepMs(1000);
    startBootpClient(nif);
  }
  startSlpAgent(nif);
  if (paramOn("bonjour")) startBonjourResponder(nif);
  startUsbServer(nif);
  bool trapSinks = false;
  if (paramOn("snmpv1") || paramOn("snmpv3")) {
    writeSnmpdConf(snmpAgentPort, &trapSinks);
    startSnmpAgent(nif, snmpAgentPort);
  }
  if (features() & FEATURE_EMAIL) startNotifications(trapSinks);
  if (!gpioDevice.hasLedDriver()) startBlinker();
  startLazyHubWatcher();
}

SupervisionSetup startUp() {
  // 1: the environment, the file mode mask and the crash handlers first.
  const char* kickOffText = std::getenv("KickOff");
  const ProductParams& product = productParams();
  SupervisionSetup setup{product.product_id, isWlanModel(product.compat_id), true, false};
  const bool ipv6Model = isIpv6Model(product.compat_id);
  umask(077);
  installCrashHandlers();
  kickOffValue = kickOffFromText(kickOffText);
  gpioDevice.setKickOffValue(kickOffValue);
  setRestartHooks(RestartHooks{setExitCodeHook, startShutDown});
  setSnmpShutDownStarter(startShutDown);

  paramStore.loadFile(kParamFile);
  setRuntimeEnv();
  initTimeZoneEnvironment();  // before any task: later only its value changes

  writeDirtyInterval("/proc/sys/vm/dirty_expire_centisecs");
  writeDirtyInterval("/proc/sys/vm/dirty_writeback_centisecs");

  if ((features() & FEATURE_SDBACKUP) && paramOn("autoSync")) {
    startStorageTask();
    if (kickOffValue == 0) sleepMs(1000);
  }

  countStart();

  const bool boardOpen = gpioDevice.open();
  installNotifyHooks();
  installWebRestart();
  setCommitEffects(&boardCommitEffects);
  setAddressLedDevice(&gpioDevice);
  if (boardOpen) startButtonTask();

  bringUpLan();
  const bool wlanOn = setup.wlanModel && paramOn("wifi");
  chooseInterface(setup, wlanOn);

  installLoggingSignalHandlers();

  startSupplicants(setup, wlanOn);

  if (httpListenPort == -1) httpListenPort = 80;
  if (httpsListenPort == -1) httpsListenPort = 443;
  if (snmpAgentPort == -1) snmpAgentPort = 161;
  printBanner();

  if (!mountRomfs()) {
    unmountRomfs();
    mountRomfs();
  }
  prepareCertificates();
  bindTextDomain();

  activeInterface->bringUp();
  writeResolvConf();
  if (ipv6Model) setIpv6Enabled(paramOn("ipv6") ? 1 : 0);

  if (!gpioDevice.hasLedDriver()) {
    gpioDevice.controlValue(boardreq::kLegacyLed, 0x228);
    gpioDevice.controlValue(boardreq::kLegacyLed, 0x3000000);
  }

  IpAddress address = setUpIpv4(ipv6Model);
  // What the start-up stored (a ZeroConf address, its netmask) is committed
  // here: left marked, its reboot class would come with the next form saved
  // and restart the device for a setting that needs no restart.
  if (paramStore.resetModified() & CHANGE_SAVE) paramStore.save(kParamFile);
  if (!address.isLinkLocal4())
    applyPacketFilter();
  else
    flushPacketFilter();  // no filter on a link-local address, nor one left by an earlier run
  if (features() & FEATURE_IP4VLAN) activeInterface->applyVlanSettings();

  startSysLog();
  startServices();

  signalRelayEvent(kRelayStarted);
  sendGratuitousArp(*activeInterface, address);
  return setup;
}

void endProgram(bool ipv6Model) {
  NetInterface& nif = *activeInterface;
  nif.setAddress(IpAddress());
  nif.bringDown();
  if (ipv6Model && paramOn("ipv6")) {
    nif.updateIpv6Address(0);
    nif.updateIpv6Route(0);
  }
  gpioDevice.close();
  releaseCertInfo();
  flushPacketFilter();
  if (features() & FEATURE_ACCCTRL) nif.releaseAllVlanSlots();
  stopSysLog();
  unmountRomfs();
  shutdownTls();
}

}  // namespace

int kickOffFromText(const char* text) { return text ? std::atoi(text) : -1; }

bool isWlanModel(uint32_t compatId) { return (compatId & kWlanCompatBits) != 0; }

bool isIpv6Model(uint32_t compatId) { return (compatId & kIpv6CompatBit) != 0; }

int runProgram() {
  SupervisionSetup setup = startUp();
  Supervisor supervisor(setup);
  supervisor.run();
  endProgram(isIpv6Model(productParams().compat_id));
  setAddressLedDevice(nullptr);
  setCommitEffects(nullptr);

  const int code = exitCode.load();
  if (countRegisteredTasks() != 0) {
    // Tasks that ignored the shutdown still run: freeing what they use, or
    // running the exit handlers under them, could crash the ending process.
    std::fflush(nullptr);
    _exit(code);
  }
  pthread_mutex_destroy(&taskTableMutex);
  paramStore.destroyAll();
  clearenv();
  return code;
}
