// Where the TLS layer reads the settings that live above the runtime: the
// security parameters `sslmethod` and `security`, the port VLAN switches and
// ids, the number of physical USB ports and `tcp_maxseg`.
//
// The parameter layer installs the readers at start-up. Until then (and in
// tests that install nothing) the defaults hold: "any", security 4, no port
// VLAN, no USB ports and no segment size.
#ifndef RUNTIME_TLS_TLSSETTINGS_H
#define RUNTIME_TLS_TLSSETTINGS_H

struct TlsSettings {
  // The key of `sslmethod` ("any", "tls10", ...) into out (size bytes, with
  // terminator); 0 when it cannot be read.
  int (*sslMethod)(char* out, int size);
  // The value of `security`.
  int (*security)();
  // `ip4vlan_id_<index>` when `ip4vlan_on_<index>` exists and is on;
  // negative when it is off or missing.
  int (*portVlan)(int index);
  // The device's physical USB port count (`usb_ports_phy`).
  int (*usbPortsPhy)();
  // The value of `tcp_maxseg`.
  int (*tcpMaxseg)();
};

// Installs the readers; a null member falls back to the default above.
void setTlsSettings(const TlsSettings& settings);

// The current values as the installed readers give them.
void tlsSslMethod(char* out, int size);
int tlsSecurity();
int tlsPortVlan(int index);
int tlsUsbPortsPhy();
int tlsTcpMaxseg();

#endif
