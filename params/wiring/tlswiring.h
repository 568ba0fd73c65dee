// Lets the TLS layer read `sslmethod`, `security`, the port VLAN parameters,
// `tcp_maxseg` and the physical USB port count.
#ifndef PARAMS_WIRING_TLSWIRING_H
#define PARAMS_WIRING_TLSWIRING_H

// Installs the readers (of the program's store and identity); calling it
// again is harmless.
void wireTlsSettings();

#endif
