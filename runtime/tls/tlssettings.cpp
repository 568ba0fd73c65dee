#include "runtime/tls/tlssettings.h"

#include <atomic>
#include <cstdio>

namespace {

std::atomic<int (*)(char*, int)> sslMethodReader{nullptr};
std::atomic<int (*)()> securityReader{nullptr};
std::atomic<int (*)(int)> portVlanReader{nullptr};
std::atomic<int (*)()> usbPortsReader{nullptr};
std::atomic<int (*)()> maxsegReader{nullptr};

constexpr int kDefaultSecurity = 4;

}  // namespace

void setTlsSettings(const TlsSettings& settings) {
  sslMethodReader.store(settings.sslMethod);
  securityReader.store(settings.security);
  portVlanReader.store(settings.portVlan);
  usbPortsReader.store(settings.usbPortsPhy);
  maxsegReader.store(settings.tcpMaxseg);
}

void tlsSslMethod(char* out, int size) {
  if (out == nullptr || size <= 0) return;
  auto reader = sslMethodReader.load();
  if (reader == nullptr || !reader(out, size)) std::snprintf(out, static_cast<size_t>(size), "%s", "any");
  out[size - 1] = 0;
}

int tlsSecurity() {
  auto reader = securityReader.load();
  return reader != nullptr ? reader() : kDefaultSecurity;
}

int tlsPortVlan(int index) {
  auto reader = portVlanReader.load();
  return reader != nullptr ? reader(index) : -1;
}

int tlsUsbPortsPhy() {
  auto reader = usbPortsReader.load();
  return reader != nullptr ? reader() : 0;
}

int tlsTcpMaxseg() {
  auto reader = maxsegReader.load();
  return reader != nullptr ? reader() : 0;
}
