// Small functions shared by the request handlers.
#ifndef USBSERVER_PROTOCOL_HANDLERSUPPORT_H
#define USBSERVER_PROTOCOL_HANDLERSUPPORT_H

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

// The common start of a handler acting on a device it must own: reads the
// body (its first two bytes are row and port) and checks the row. Returns
// true with *row set when the row is this connection's (or present and
// free) and the handler goes on; otherwise false with *result holding what
// the handler returns: -1 for a body that could not be read, else the
// reply FAILED/19 (absent) or REFUSED/12 (another connection's) was sent.
// With answerShortBody a body that could not be read is answered FAILED/71
// instead of ending the connection.
struct UsbRequestHeader;
bool beginRowRequest(UsbConnection& c, const UsbRequestHeader& h, void* body, int n, int* row, RowUse* use,
                     int* result, bool answerShortBody = false);

// The reply of a handler that ends with one error code: OK for 0, else
// FAILED with that code. sendStatus's result.
int sendStatusFor(UsbConnection& c, const UsbRequestHeader& h, int32_t error);

// USBDEVFS_RELEASEINTERFACE for each interface of the row's current
// configuration on handle (results ignored).
void releaseCurrentInterfaces(int row, int handle);

// True when the model switches port power instead of failing resets.
bool usbPowerSwitchModel();

// The errno of a negative usbfs result (EIO for anything else).
inline int32_t errnoOf(int rc) { return rc < 0 ? -rc : 5; }

#endif
