// usbDispatchRequest: reads one request header and runs the opcode's handler.
#include <openssl/ssl.h>

#include "runtime/task/uptime.h"
#include "runtime/tls/tlsconnection.h"
#include "usbserver/access/accesscontrol.h"
#include "usbserver/connections/usbconnection.h"
#include "usbserver/protocol/usbhandlers.h"
#include "usbserver/protocol/wireprotocol.h"
#include "usbserver/transfers/urbbodyread.h"
#include "usbserver/transfers/urbsubmit.h"

namespace {

int runHandler(UsbConnection& c, const UsbRequestHeader& h) {
  switch (h.opcode) {
    case USB_OP_HELLO_LEGACY: return sendLegacyHello(c, h);
    case USB_OP_DEVICE_LIST_LEGACY: return sendUsbDeviceList(c, h, 0) < 0 ? -1 : 0;
    case 3: case 7: case 18: case 20: return 0;  // ignored: no body, no reply
    case USB_OP_CLAIM_INTERFACE: return claimInterface(c, h);
    case USB_OP_RELEASE_INTERFACE: return releaseUsbInterface(c, h);
    case USB_OP_DISCONNECT: return disconnectUsbDevice(c, h);
    case USB_OP_SUBMIT_URB: return submitUrb(c, h);
    case USB_OP_DISCARD_URB: return discardUrbByTag(c, h);
    case USB_OP_ABORT_ENDPOINT: return abortUsbEndpoint(c, h);
    case USB_OP_CLEAR_HALT: return clearUsbEndpointHalt(c, h);
    case USB_OP_RESET_DEVICE: return resetDevice(c, h);
    case USB_OP_KEEP_ALIVE: return keepAlive(c, h);
    case USB_OP_SET_CONFIGURATION: return setConfiguration(c, h);
    case USB_OP_TAG_LIST: return sendUsbTagList(c, h);
    case USB_OP_IN_USE_MAP: return sendInUseMap(c, h);
    case USB_OP_DEVICE_NAME: return sendDeviceName(c, h);
    case USB_OP_CONNECT: return connectUsbDevice(c, h);
    case USB_OP_PORT_STATUS: return sendPortStatus(c, h);
    case USB_OP_HELLO: return sendHello(c, h);
    case USB_OP_DEVICE_LIST: return sendUsbDeviceList(c, h, 1) < 0 ? -1 : 0;
    default: return -1;  // 0, 10, 14, 15, 17, 19, 28 and above 29
  }
}

int dispatchOne(UsbConnection& c) {
  uint8_t raw[USB_REQUEST_HEADER_SIZE];
  // The socket was reported readable: a header, its first part (the rest
  // in a later TCP segment or TLS record), or the client's close. What is
  // missing is waited for like a body.
  c.startRequestDeadline();
  if (readTransferBody(c, raw, sizeof raw) != static_cast<int>(sizeof raw)) return -1;
  c.lastRequestTick = uptimeCs();
  const UsbRequestHeader h = decodeRequestHeader(raw);
  const int r = runHandler(c, h);
  c.requestDeadlineCs = -1;
  if (h.opcode == USB_OP_HELLO_LEGACY || h.opcode == USB_OP_HELLO) c.challenge = r == 0 ? h.tag : 0;
  return r;
}

}  // namespace

int usbDispatchRequest(UsbEventSource& source) {
  // Only client sockets carry this handler.
  auto& c = static_cast<UsbConnection&>(source);
  int r = dispatchOne(c);
  // Requests that TLS has already decrypted do not wake the poll again.
  while (r >= 0 && c.socket && c.socket->session && SSL_pending(c.socket->session) >= USB_REQUEST_HEADER_SIZE)
    r = dispatchOne(c);
  return r < 0 ? -1 : 0;
}
