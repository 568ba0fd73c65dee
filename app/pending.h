// Calls of the start-up, the supervision loop and "LazyHubWatcher" into
// parts of the program that are not built yet. Each function stands for one
// named operation; the module that builds it replaces the stub here.
// Task starters return whether a task was started (none is, for now).
#ifndef APP_PENDING_H
#define APP_PENDING_H

#include <cstdint>

class IpAddress;
class NetInterface;

// Service tasks.
bool startStorageTask();                                          // "SND": storage task and card mirror
bool startUsbServer(NetInterface& nif);                           // "UsbSrvd": USB listener
bool startBlinker();                                              // "Blinker": status LED without pattern driver

// WLAN and wired 802.1X.
int startWpaSupplicant(int wlan, const char* interfaceName);      // supplicant program for the interface
bool startWlanTask(NetInterface& nif, int wlanMode);              // "WLan" (1 WLAN, 0 wired)
bool startWpaCfgTask();                                           // "WpaCfg" bound to the last "WLan"

// Content image, certificates, TLS.
int mountRomfs();                                                 // "/flash/pel.cramfs" on /romfs
int unmountRomfs();
void deleteImportedKey();                                         // certificate table index 1
int installRootCaCert();                                          // CA store of the imported root
void setCertAttribute(const char* name, const char* value);       // getCertInfo + CertInfo::setAttribute
void createCertInfo();                                            // getCertInfo only
int validateCertRequest(int kind);                                // 1 when the request may be made
bool startCertGenerator();                                        // "CertGenerator"
void releaseCertInfo();                                           // frees the certificate record

// Mail of the notification task: nothing is sent or polled yet. Each
// returns failure; sendNotificationMail says so on standard error when a
// recipient (mailto_1, mailto_2) is set.
bool sendNotificationMail(uint32_t codes);                        // NotifyTask::sendEventMail
bool pollNotificationMailbox();                                   // NotifyTask::pollMailbox
void closeMailSessions();                                         // NotifyTask::closeSessions
void reannounceStorageMedium();                                   // RemovableMedium::setState again

// Supervision.
void sampleSystemLoad();                                          // one CPU and memory load sample
void powerOnExpiredUsbPorts();                                    // ports whose power-off time ran out

#endif
