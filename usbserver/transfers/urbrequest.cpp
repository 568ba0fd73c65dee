#include "usbserver/transfers/urbrequest.h"

#include <linux/usbdevice_fs.h>

#include <cstdio>

#include "usbserver/protocol/wireprotocol.h"
#include "usbserver/transfers/urbengine.h"

uint32_t urbTransferLength(const UsbTransferDescriptor& d) { return d.isIn() ? d.inLength : d.outLength; }

bool urbIsChunked(uint8_t type, bool videoDevice) { return type == URB_TYPE_BULK && !videoDevice; }

int urbSubRequestCount(uint8_t type, uint32_t length, bool videoDevice) {
  if (!urbIsChunked(type, videoDevice)) return 1;
  const uint32_t chunk = URB_CHUNK_SIZE;
  const uint32_t whole = length / chunk;
  return static_cast<int>(whole + (length % chunk != 0 || length == 0 ? 1 : 0));
}

bool urbLengthAllowed(const UsbTransferDescriptor& d, bool videoDevice) {
  const uint32_t length = urbTransferLength(d);
  if (!urbIsChunked(d.type, videoDevice)) return length <= URB_MAX_SINGLE_LENGTH;
  return length <= (d.isIn() ? URB_MAX_BULK_IN_LENGTH : URB_MAX_BULK_OUT_LENGTH);
}

UrbRequest* buildUrbRequest(const UsbRequestHeader& h, const UsbTransferDescriptor& d, bool videoDevice) {
  if (!urbLengthAllowed(d, videoDevice)) return nullptr;
  const uint32_t length = urbTransferLength(d);
  const int count = urbSubRequestCount(d.type, length, videoDevice);
  UrbRequest* r = newUrbRequest(count);
  if (!r) {
    std::fprintf(stderr, "%s ERROR OUT OF MEM %d\n", "sUrb",
                 static_cast<int>(count * (sizeof(usbdevfs_urb) + sizeof(usbdevfs_urb*))));
    return nullptr;
  }
  r->row = d.row;
  r->endpoint = d.endpoint;
  r->type = d.type;
  r->context = h.context;
  r->tag = h.tag;
  r->bytesLeft = static_cast<int32_t>(length);
  r->length = length;
  return r;
}
