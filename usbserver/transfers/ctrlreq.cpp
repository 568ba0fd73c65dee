#include "usbserver/transfers/ctrlreq.h"

#include <fcntl.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "platform/usb/usbhost.h"
#include "usbserver/connections/usbconnection.h"
#include "usbserver/devices/usbdevicetable.h"
#include "usbserver/devices/usbquirks.h"
#include "usbserver/protocol/wireprotocol.h"
#include "usbserver/transfers/ctrlconfigread.h"
#include "usbserver/transfers/urbbodyread.h"
#include "usbserver/transfers/urbrequest.h"

namespace {

constexpr uint32_t kSetupSize = 8;
constexpr uint32_t kMaxDataStage = 0xFFFF;
constexpr uint8_t kDescriptorDevice = 1;
constexpr uint8_t kDescriptorConfiguration = 2;
constexpr uint8_t kDescriptorString = 3;
constexpr uint8_t kFirstOsStringIndex = 0xEE;
constexpr int32_t kErrUnavailable = 3;

// The setup block as the client sends it (16-bit fields big-endian).
struct Setup {
  uint8_t requestType;
  uint8_t request;
  uint16_t value;
  uint16_t index;
  uint16_t length;

  bool isIn() const { return (requestType & 0x80) != 0; }
  bool is(uint8_t type, uint8_t req) const { return requestType == type && request == req; }
};

Setup decodeSetup(const uint8_t* p) {
  return Setup{p[0], p[1], getBe16(p + 2), getBe16(p + 4), getBe16(p + 6)};
}

struct FreeDeleter {
  void operator()(uint8_t* p) const { std::free(p); }
};

// A handle of this request alone, closed when it goes.
class TemporaryHandle {
 public:
  TemporaryHandle() = default;
  ~TemporaryHandle() {
    if (fd >= 0) usbHost().closeDevice(fd);
  }
  TemporaryHandle(const TemporaryHandle&) = delete;
  TemporaryHandle& operator=(const TemporaryHandle&) = delete;
  // 0, or the errno of the failed open.
  int open(UsbDeviceRow& row, int flags) {
    if (row.openDevice(flags, &fd)) return 0;
    fd = -1;
    return errno ? errno : ENODEV;
  }
  int32_t fd = -1;
};

void answer(UsbReplyHeader& reply, uint32_t status, int32_t error) {
  reply.status = status;
  reply.error = error;
}

// Everything one request needs.
struct ControlCall {
  UsbDeviceRow& row;
  Setup setup;
  uint16_t len;         // IN bytes wanted: the smaller of the IN length and wLength
  bool owned;
  int32_t handle;       // the owner's handle (-1 when closed or not owned)
  uint8_t* outData;     // data stage of an OUT request
  uint8_t* in;          // IN buffer, IN length bytes (at least 1)
  UsbReplyHeader& reply;
};

// The request on the owner's handle: IN bytes, or 0.
int runOnDevice(ControlCall& call) {
  if (!call.owned) {
    answer(call.reply, USB_STATUS_REFUSED, USB_REFUSED_OWNED);
    return 0;
  }
  if (call.handle < 0) {
    answer(call.reply, USB_STATUS_REFUSED, USB_ERR_PROTO);
    return 0;
  }
  const Setup& s = call.setup;
  void* data = s.isIn() ? static_cast<void*>(call.in) : static_cast<void*>(call.outData);
  const uint16_t length = s.isIn() ? call.len : s.length;
  if (s.isIn() && length) std::memset(call.in, 0, length);
  const int rc = usbHost().control(call.handle, s.requestType, s.request, s.value, s.index, data, length,
                                   USB_CONTROL_TIMEOUT_MS);
  if (rc < 0) {
    answer(call.reply, USB_STATUS_FAILED, -rc);
    if (rc == -ETIMEDOUT &&
        isUsbQuirkDevice(UsbQuirk::ResetAfterControlTimeout, call.row.vendorProductWord()))
      usbHost().reset(call.handle);
    return 0;
  }
  answer(call.reply, USB_STATUS_OK, 0);
  if (!s.isIn()) return 0;
  return rc < length ? rc : length;
}

// The one vendor IN request open to clients that do not own the device.
int vendorRequestOfOther(ControlCall& call) {
  TemporaryHandle temp;
  // usbfs refuses every request on a read-only handle, so the handle is
  // opened for writing; nothing but this request goes through it.
  if (const int err = temp.open(call.row, O_RDWR)) {
    answer(call.reply, USB_STATUS_FAILED, err);
    return 0;
  }
  const Setup& s = call.setup;
  if (call.len) std::memset(call.in, 0, call.len);
  const int rc = usbHost().control(temp.fd, s.requestType, s.request, s.value, s.index, call.in, call.len,
                                   USB_CONTROL_TIMEOUT_MS);
  if (rc < 0) {
    answer(call.reply, USB_STATUS_FAILED, -rc);
    return 0;
  }
  answer(call.reply, USB_STATUS_OK, 0);
  return rc < call.len ? rc : call.len;
}

int deviceDescriptor(ControlCall& call) {
  const int n = call.len < USB_DEVICE_DESCRIPTOR_SIZE ? call.len : USB_DEVICE_DESCRIPTOR_SIZE;
  const int rowIndex = usbRowIndexOf(&call.row);
  muxIn(rowIndex);
  if (n > 0) std::memcpy(call.in, call.row.descriptors.device, static_cast<size_t>(n));
  unlockUsbDeviceRow(rowIndex);
  answer(call.reply, USB_STATUS_OK, 0);
  return n;
}

int configurationDescriptor(ControlCall& call, uint8_t index) {
  UsbDeviceRow& row = call.row;
  const int rowIndex = usbRowIndexOf(&row);
  muxIn(rowIndex);
  const uint8_t configurations = row.descriptors.numConfigurations();
  unlockUsbDeviceRow(rowIndex);
  if (index >= configurations) {
    answer(call.reply, USB_STATUS_FAILED, USB_ERR_NOCONFIG);
    return 0;
  }
  if (index > 0 && isUsbQuirkDevice(UsbQuirk::HardResetBeforeConfig, row.vendorProductWord())) {
    // This device's later configurations change: ask it, and keep the
    // header it gives.
    const int n = runOnDevice(call);
    if (call.reply.status == USB_STATUS_OK && n >= USB_CONFIG_DESCRIPTOR_SIZE) {
      muxIn(rowIndex);
      if (row.descriptors.configTable && index < row.descriptors.configTableSize)
        std::memcpy(row.descriptors.configTable[index].descriptor, call.in, USB_CONFIG_DESCRIPTOR_SIZE);
      unlockUsbDeviceRow(rowIndex);
    }
    return n;
  }
  TemporaryHandle temp;
  if (temp.open(row, O_RDONLY) != 0) return 0;  // the prepared REFUSED/12 stands
  const int n = readNodeConfiguration(temp.fd, index, call.in, call.len);
  if (n < 0) return 0;
  answer(call.reply, USB_STATUS_OK, 0);
  return n;
}

int stringDescriptor(ControlCall& call, uint8_t index) {
  UsbDeviceRow& row = call.row;
  const uint16_t language = call.setup.index;
  int n = row.findStringDescriptor(language, index, call.in, call.len);
  if (n < 0 && index < kFirstOsStringIndex) {
    TemporaryHandle temp;
    int32_t handle = call.handle;
    if (!call.owned || handle < 0) {
      if (const int err = temp.open(row, O_RDWR)) {
        answer(call.reply, USB_STATUS_FAILED, err);
        return 0;
      }
      handle = temp.fd;
    }
    n = row.fetchStringDescriptor(handle, language, index, call.in, call.len);
  }
  if (n > 0) {
    answer(call.reply, USB_STATUS_OK, 0);
    return n < call.len ? n : call.len;
  }
  if (index < kFirstOsStringIndex && call.len > 1) {
    call.in[0] = 2;  // the empty string
    call.in[1] = kDescriptorString;
    answer(call.reply, USB_STATUS_OK, 0);
    return 2;
  }
  answer(call.reply, USB_STATUS_REFUSED, kErrUnavailable);
  return 0;
}

int execute(ControlCall& call) {
  const Setup& s = call.setup;
  if (call.owned && s.is(0x01, 11)) {  // SET_INTERFACE
    const int rc = usbHost().setInterface(call.handle, s.index, s.value);
    answer(call.reply, rc < 0 ? USB_STATUS_REFUSED : USB_STATUS_OK, rc < 0 ? USB_ERR_NOCONFIG : 0);
    return 0;
  }
  if (call.owned && s.is(0x02, 1)) {  // CLEAR_FEATURE of an endpoint
    const int rc = usbHost().clearHalt(call.handle, s.index);
    answer(call.reply, rc < 0 ? USB_STATUS_REFUSED : USB_STATUS_OK, rc < 0 ? USB_ERR_NOCONFIG : 0);
    return 0;
  }
  if (!call.owned && s.is(0xC0, 1)) return vendorRequestOfOther(call);
  if (s.is(0x80, 6)) {  // GET_DESCRIPTOR
    const uint8_t type = static_cast<uint8_t>(s.value >> 8);
    const uint8_t index = static_cast<uint8_t>(s.value & 0xFF);
    if (type == kDescriptorDevice) return deviceDescriptor(call);
    if (type == kDescriptorConfiguration) return configurationDescriptor(call, index);
    if (type == kDescriptorString) return stringDescriptor(call, index);
  }
  return runOnDevice(call);
}

// A body that cannot be taken as a control transfer: dropped, FAILED/71.
int refuseBody(UsbConnection& c, uint32_t outLength, UsbReplyHeader& reply) {
  answer(reply, USB_STATUS_FAILED, USB_ERR_PROTO);
  if (outLength > URB_MAX_DROPPED_BODY) return CTRL_END_CONNECTION;
  return c.discardBytes(outLength) ? 0 : CTRL_END_CONNECTION;
}

}  // namespace

int processCtrlReq(UsbConnection& c, const UsbTransferDescriptor& d, UsbReplyHeader& reply, std::vector<uint8_t>& in) {
  in.clear();
  answer(reply, USB_STATUS_REFUSED, USB_REFUSED_OWNED);
  if (d.outLength < kSetupSize || d.outLength > kSetupSize + kMaxDataStage || d.inLength > kMaxDataStage)
    return refuseBody(c, d.outLength, reply);

  std::unique_ptr<uint8_t, FreeDeleter> out(static_cast<uint8_t*>(std::malloc(d.outLength)));
  if (!out) {
    std::fprintf(stderr, "%s mem fault size:%d!?\n", "processCtrlReq", static_cast<int>(d.outLength));
    return refuseBody(c, d.outLength, reply) == 0 ? CTRL_MEMORY_FAILURE : CTRL_END_CONNECTION;
  }
  try {
    in.assign(d.inLength ? d.inLength : 1, 0);  // never a null buffer, even for no data
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "%s mem indata fault size:%d!?\n", "processCtrlReq", static_cast<int>(d.inLength));
    return refuseBody(c, d.outLength, reply) == 0 ? CTRL_MEMORY_FAILURE : CTRL_END_CONNECTION;
  }
  if (readTransferBody(c, out.get(), static_cast<int>(d.outLength)) != static_cast<int>(d.outLength)) {
    // The rest of the body would be read as the next request.
    answer(reply, USB_STATUS_FAILED, USB_ERR_NOMEM);
    return CTRL_END_CONNECTION;
  }

  const Setup setup = decodeSetup(out.get());
  if (!setup.isIn() && setup.length > d.outLength - kSetupSize) {
    answer(reply, USB_STATUS_FAILED, USB_ERR_PROTO);
    return 0;
  }
  UsbDeviceRow& row = usbDeviceTable[d.row];
  muxIn(d.row);
  const bool owned = row.rowState() == UsbRowState::IN_USE && row.owner == &c;
  const int32_t handle = owned ? row.usbfsHandle : -1;
  unlockUsbDeviceRow(d.row);

  ControlCall call{row,
                   setup,
                   static_cast<uint16_t>(d.inLength < setup.length ? d.inLength : setup.length),
                   owned,
                   handle,
                   out.get() + kSetupSize,
                   in.data(),
                   reply};
  return execute(call);
}
