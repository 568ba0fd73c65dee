#include "usbserver/access/devicelist.h"

#include <cstring>
#include <vector>

#include "runtime/task/task.h"
#include "usbserver/access/accesscontrol.h"
#include "usbserver/access/accesskey.h"
#include "usbserver/connections/usbconnection.h"
#include "usbserver/devices/usbdevicetable.h"
#include "usbserver/discovery/usbscan.h"
#include "usbserver/protocol/wireprotocol.h"

namespace {

constexpr int kPorts = 20;

// Turns the little-endian 16-bit field at offset of the record around.
void swapField(uint8_t* record, int offset) {
  const uint8_t low = record[offset];
  record[offset] = record[offset + 1];
  record[offset + 1] = low;
}

}  // namespace

void buildUsbDeviceRecord(int row, uint8_t out[USB_DEVICE_RECORD_SIZE]) {
  const UsbDeviceRow& r = usbDeviceTable[row];
  out[0] = static_cast<uint8_t>(row);
  out[1] = static_cast<uint8_t>(r.port);
  out[2] = static_cast<uint8_t>(r.speed);
  out[3] = 0;
  std::memcpy(out + 4, r.descriptors.device, USB_DEVICE_DESCRIPTOR_SIZE);
  swapField(out, 6);   // bcdUSB
  swapField(out, 12);  // idVendor
  swapField(out, 14);  // idProduct
  swapField(out, 16);  // bcdDevice
}

int sendUsbDeviceList(UsbConnection& connection, const UsbRequestHeader& header, int mode) {
  if (mode == 0) {
    UsbReplyHeader reply = makeReplyHeader(header);
    reply.status = USB_STATUS_FAILED;
    reply.error = USB_ERR_LEGACY;
    return connection.sendReply(reply) < 0 ? -1 : 0;
  }

  rescanUsbDevices();

  UsbKeyAnswers answers;
  const uint32_t length = header.payloadLength;
  if (length >= 1 && length <= static_cast<uint32_t>(USB_KEY_PAYLOAD_MAX)) {
    int sha1 = 0;
    const int size = static_cast<int>(length);
    if (connection.readFully(answers.payload, size, USB_IO_TIMEOUT_MS) != size) return -1;
    if (!parseAccessKeyPayload(answers.payload, size, &sha1)) return -1;
    answers.valid = 1;
    answers.sha1 = static_cast<uint8_t>(sha1);
    answers.length = static_cast<uint16_t>(size);
    answers.challenge = static_cast<uint32_t>(connection.challenge);
    keepUsbKeyAnswers(currentTaskId(), answers);
  } else if (length > static_cast<uint32_t>(USB_KEY_PAYLOAD_MAX)) {
    // Too long to hold answers: listed as without any, but its bytes must
    // not be taken for the next request.
    if (!connection.discardBytes(length)) return -1;
  }

  std::vector<uint8_t> data(3);
  int count = 0;
  lockUsbDeviceTable(1);
  for (int row = 0; row < USB_MAXDEVS; ++row) {
    const UsbDeviceRow& r = usbDeviceTable[row];
    const int port = r.isPresent() ? r.port : 0;
    if (port < 1 || port > kPorts) continue;
    if (!checkKeptAccessKeyAnswers(port, answers)) continue;
    if (isUsbPortUnavailable(port)) continue;
    if (!isPortVisibleOnConnectionVlan(port, &connection)) continue;
    const size_t at = data.size();
    data.resize(at + USB_DEVICE_RECORD_SIZE);
    buildUsbDeviceRecord(row, data.data() + at);
    ++count;
  }
  lockUsbDeviceTable(0);

  data[0] = static_cast<uint8_t>(count);
  putBe16(data.data() + 1, static_cast<uint16_t>(count * USB_DEVICE_RECORD_SIZE));
  UsbReplyHeader reply = makeReplyHeader(header);
  if (connection.sendReply(reply, data.data(), static_cast<uint32_t>(data.size())) < 0) return -1;
  return count;
}
