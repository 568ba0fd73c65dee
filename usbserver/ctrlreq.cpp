// Control transfers are not executed yet: the OUT bytes are read and the
// prepared refusal stands.
#include "usbserver/ctrlreq.h"

#include "usbserver/usbconnection.h"
#include "usbserver/wireprotocol.h"

int processCtrlReq(UsbConnection& connection, const UsbTransferDescriptor& transfer, UsbReplyHeader& reply,
                   std::vector<uint8_t>& in) {
  in.clear();
  reply.status = USB_STATUS_REFUSED;
  reply.error = USB_REFUSED_OWNED;
  if (!connection.discardBytes(transfer.outLength)) {
    reply.status = USB_STATUS_FAILED;
    reply.error = USB_ERR_NOMEM;
  }
  return 0;
}
