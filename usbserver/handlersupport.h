// Small functions shared by the request handlers.
#ifndef USBSERVER_HANDLERSUPPORT_H
#define USBSERVER_HANDLERSUPPORT_H

#include <cstdint>

class UsbConnection;

// Whose a row on a port is, seen from connection c.
enum class RowUse {
  Absent,  // no row present on that port
  Free,    // present, not in use
  Mine,    // in use by c
  Theirs,  // in use by another connection
};
// Looked up under the row mutex.
RowUse rowUseFor(const UsbConnection& c, int row, int port);

// The whole body: true when n bytes were read within the body time-out.
bool readBody(UsbConnection& c, void* buffer, int n);

// USBDEVFS_RELEASEINTERFACE for each interface of the row's current
// configuration on handle (results ignored).
void releaseCurrentInterfaces(int row, int handle);

// True when the model switches port power instead of failing resets.
bool usbPowerSwitchModel();

// The errno of a negative usbfs result (EIO for anything else).
inline int32_t errnoOf(int rc) { return rc < 0 ? -rc : 5; }

#endif
