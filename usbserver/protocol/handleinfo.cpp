// Handlers that report: HELLO, HELLO_LEGACY, KEEP_ALIVE, IN_USE_MAP,
// DEVICE_NAME, TAG_LIST and PORT_STATUS.
#include <cstring>
#include <string>
#include <vector>

#include "params/identity/productparams.h"
#include "params/store/paramstore.h"
#include "params/types/onoffparam.h"
#include "params/types/stringparam.h"
#include "runtime/task/uptime.h"
#include "usbserver/access/accesscontrol.h"
#include "usbserver/connections/usbconnection.h"
#include "usbserver/devices/usbdevicetable.h"
#include "usbserver/protocol/handlersupport.h"
#include "usbserver/protocol/usbhandlers.h"
#include "usbserver/protocol/wireprotocol.h"

namespace {

constexpr uint16_t kHelloValues[3] = {7, 0, 180};
constexpr size_t kDeviceNameMax = 65;
constexpr size_t kOwnerDataMax = 128;
constexpr int kPorts = 20;

std::string portKey(const char* stem, int n) { return stem + std::to_string(n); }

}  // namespace

int sendLegacyHello(UsbConnection& c, const UsbRequestHeader& h) {
  UsbReplyHeader reply = makeShortContextReply(h);
  reply.status = USB_STATUS_FAILED;
  reply.error = USB_ERR_LEGACY;
  uint8_t data[6];
  for (int i = 0; i < 3; ++i) putBe16(data + 2 * i, kHelloValues[i]);
  return c.sendReply(reply, data, sizeof data);
}

int sendHello(UsbConnection& c, const UsbRequestHeader& h) {
  UsbReplyHeader reply = makeShortContextReply(h);
  uint8_t data[8];
  for (int i = 0; i < 3; ++i) putBe16(data + 2 * i, kHelloValues[i]);
  putBe16(data + 6, static_cast<uint16_t>(USB_MAXDEVS));
  return c.sendReply(reply, data, sizeof data);
}

int keepAlive(UsbConnection& c, const UsbRequestHeader& h) {
  uint8_t value[4];
  if (!readBody(c, value, sizeof value)) return -1;
  c.keepAliveValue = getBe32(value);
  c.lastRequestTick = uptimeCs();
  return c.sendReply(makeReplyHeader(h), value, sizeof value);
}

int sendInUseMap(UsbConnection& c, const UsbRequestHeader& h) {
  uint32_t map = 0;
  for (int row = 0; row < USB_MAXDEVS && row < 32; ++row)
    if (usbDeviceTable[row].rowState() == UsbRowState::IN_USE) map |= 1u << row;
  uint8_t data[4];
  putBe32(data, map);
  return c.sendReply(makeReplyHeader(h), data, sizeof data);
}

int sendDeviceName(UsbConnection& c, const UsbRequestHeader& h) {
  UsbReplyHeader reply = makeReplyHeader(h);
  StringParam* name = paramStore.findString("sys_name");
  if (!name) {
    reply.error = USB_ERR_TEXT;
    return c.sendReply(reply);
  }
  std::string text = name->getText();
  if (text.size() > kDeviceNameMax) text.resize(kDeviceNameMax);
  return c.sendReply(reply, text.data(), static_cast<uint32_t>(text.size()));
}

int sendUsbTagList(UsbConnection& c, const UsbRequestHeader& h) {
  std::vector<uint8_t> list;
  const int ports = static_cast<int>(productParams().usb_ports_phy);
  for (int port = 1; port <= ports && port <= kPorts; ++port) {
    if (!isPortVisibleOnConnectionVlan(port, &c)) continue;
    StringParam* tag = paramStore.findString(portKey("zov_tag_", port).c_str());
    if (!tag || !tag->hasValue()) continue;
    const std::string text = tag->getText();
    list.push_back(static_cast<uint8_t>(port));
    list.insert(list.end(), text.begin(), text.end());
    list.push_back(0);
  }
  list.push_back(0);
  return c.sendReply(makeReplyHeader(h), list.data(), static_cast<uint32_t>(list.size()));
}

int sendPortStatus(UsbConnection& c, const UsbRequestHeader& h) {
  uint8_t body[2];
  if (!readBody(c, body, sizeof body)) return -1;
  const int row = body[0];
  const int port = body[1];
  if (!isUsbDevicePresentOnPort(row, port)) return c.sendStatus(h, USB_STATUS_FAILED, USB_ERR_NODEV);

  uint8_t data[4 + kOwnerDataMax] = {};
  uint32_t length = 4;
  uint32_t code = 0;
  bool inUse = false;
  uint8_t ip[4];
  bool ownerIp4 = false;
  {
    UsbDeviceRow& r = usbDeviceTable[row];
    muxIn(row);
    inUse = r.rowState() == UsbRowState::IN_USE;
    // The owner stays alive while it is the row's owner under the mutex.
    ownerIp4 = inUse && r.owner && getConnectionPeerIpv4(*r.owner, ip);
    unlockUsbDeviceRow(row);
  }
  if (inUse) code |= 1;
  OnOffParam* secure = paramStore.findOnOff(portKey("zov_sec_", port).c_str());
  if (secure && secure->isOn()) code |= 2;
  if (!isUsbPortAccessAllowed(row, port)) code |= 5;
  putBe32(data, code);
  if (ownerIp4) {
    const uint8_t record[USB_OWNER_RECORD_SIZE] = {3, 4, 0, 0, 0, ip[0], ip[1], ip[2], ip[3]};
    std::memcpy(data + length, record, sizeof record);
    length += sizeof record;
    StringParam* owner = paramStore.findString(portKey("usb_owner_", row + 1).c_str());
    const std::string text = owner ? owner->getText() : std::string();
    const size_t paren = text.find('(');
    if (paren != std::string::npos) {
      size_t n = paren;
      if (n > kOwnerDataMax - USB_OWNER_RECORD_SIZE) n = kOwnerDataMax - USB_OWNER_RECORD_SIZE;
      std::memcpy(data + length, text.data(), n);
      length += static_cast<uint32_t>(n);
    }
  }
  return c.sendReply(makeReplyHeader(h), data, length);
}
