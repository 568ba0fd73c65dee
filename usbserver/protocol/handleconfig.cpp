// SET_CONFIGURATION: selects a configuration (and alternate settings) of a
// device this connection has connected.
#include <fcntl.h>

#include <cerrno>
#include <new>
#include <vector>

#include "platform/usb/usbhost.h"
#include "usbserver/connections/usbconnection.h"
#include "usbserver/devices/usbdevicetable.h"
#include "usbserver/devices/usbquirks.h"
#include "usbserver/protocol/handlersupport.h"
#include "usbserver/protocol/usbhandlers.h"
#include "usbserver/protocol/wireprotocol.h"
#include "usbserver/transfers/urbengine.h"

namespace {

constexpr uint16_t kVendorHardUnconfigure = 0x0d46;

struct Outcome {
  int32_t error = 0;      // errno to answer, 0 OK
  bool failed = false;    // a failure of the device: flag it for reset
};

// Steps on the owner's open handle; the row mutex is held.
Outcome configure(UsbDeviceRow& r, int row, int value, const std::vector<uint8_t>& pairs) {
  Outcome out;
  const int handle = r.usbfsHandle;
  const uint32_t word = r.vendorProductWord();
  const bool alwaysToDevice = isUsbQuirkDevice(UsbQuirk::HardResetBeforeConfig, word) ||
                              isUsbQuirkDevice(UsbQuirk::AlwaysConfigureNoClearHalt, word);
  if (isUsbQuirkDevice(UsbQuirk::LocalConfigOne, word) && value == 1 && r.descriptors.configTable) {
    r.currentConfigIndex = 0;
    return out;
  }
  const UsbConfigEntry* current = r.descriptors.entry(r.currentConfigIndex);
  if (value != 0 && current && !alwaysToDevice && current->configurationValue() == value) {
    // Already current on this handle: the alternate settings asked for
    // still apply.
    for (size_t i = 0; i + 1 < pairs.size(); i += 2)
      if (const int rc = usbHost().setInterface(handle, pairs[i], pairs[i + 1]); rc < 0) return {errnoOf(rc), true};
    return out;
  }

  releaseCurrentInterfaces(row, handle);
  r.currentConfigIndex = -1;

  if (value == 0) {
    if (r.descriptors.idVendor() != kVendorHardUnconfigure) {
      const int rc = usbHost().setConfiguration(handle, 0);
      if (rc < 0) out = {errnoOf(rc), true};
      return out;
    }
    const int hard = usbHost().hardReset(handle);
    if (hard == 0) return out;
    if (hard == -ENOTTY || hard == -ENODEV) {
      const int rc = usbHost().reset(handle);
      if (rc < 0) out = {errnoOf(rc), true};
      return out;
    }
    out.failed = true;  // the reply stays OK
    return out;
  }

  const bool hardFirst = isUsbQuirkDevice(UsbQuirk::HardResetBeforeConfig, word) && value > 1;
  if (hardFirst) usbHost().hardReset(handle);
  if (hardFirst || isUsbQuirkDevice(UsbQuirk::UnconfigureFirst, word) ||
      isUsbQuirkDevice(UsbQuirk::AlwaysConfigureNoClearHalt, word))
    usbHost().setConfiguration(handle, 0);
  if (const int rc = usbHost().setConfiguration(handle, value); rc < 0) return {errnoOf(rc), true};
  const int index = r.descriptors.findConfiguration(value);
  const UsbConfigEntry* entry = r.descriptors.entry(index);
  if (!entry) return {USB_ERR_NOCONFIG, true};
  r.currentConfigIndex = index;
  const int n = entry->numInterfaces() < USB_MAX_CONFIG_INTERFACES ? entry->numInterfaces() : USB_MAX_CONFIG_INTERFACES;
  for (int i = 0; i < n; ++i)
    if (const int rc = usbHost().claimInterface(handle, entry->interfaces[i]); rc < 0) return {errnoOf(rc), true};
  for (size_t i = 0; i + 1 < pairs.size(); i += 2)
    if (const int rc = usbHost().setInterface(handle, pairs[i], pairs[i + 1]); rc < 0) return {errnoOf(rc), true};
  return out;
}

}  // namespace

int setConfiguration(UsbConnection& c, const UsbRequestHeader& h) {
  uint8_t body[4];
  if (!readBody(c, body, sizeof body)) return -1;
  const int row = body[0];
  const int port = body[1];
  const int value = body[2];
  const int count = body[3];
  Outcome result;
  std::vector<uint8_t> pairs;
  if (value != 0 && count != 0) {
    bool memory = true;
    try {
      pairs.resize(static_cast<size_t>(count) * 2);
    } catch (const std::bad_alloc&) {
      memory = false;
    }
    if (!memory) result = {USB_ERR_NOMEM, true};
    else if (!readBody(c, pairs.data(), static_cast<int>(pairs.size()))) result = {USB_ERR_PROTO, true};
  }

  const RowUse use = rowUseFor(c, row, port);
  if (use == RowUse::Theirs) return c.sendStatus(h, USB_STATUS_REFUSED, USB_REFUSED_OWNED);
  if (!result.error && use != RowUse::Mine) return c.sendStatus(h, USB_STATUS_FAILED, USB_ERR_NODEV);

  if (!result.error) {
    abortAllUrbs(row);  // on this task: its CANCELLED completions go out now
    muxIn(row);
    UsbDeviceRow& r = usbDeviceTable[row];
    if (r.rowState() != UsbRowState::IN_USE || r.owner != &c) {
      result = {USB_ERR_NODEV, false};  // taken meanwhile
    } else if (r.usbfsHandle < 0 && !r.openDevice(O_RDWR)) {
      result = {errno ? errno : USB_ERR_NODEV, true};
    } else {
      if (!r.eventSource) c.watchRowHandle(row);
      result = configure(r, row, value, pairs);
    }
    unlockUsbDeviceRow(row);
  }

  // Only a failure on this connection's own device leaves it flagged: its
  // transfers are aborted and the loop resets and closes it.
  if (result.failed && use == RowUse::Mine) {
    abortAllUrbs(row);
    muxIn(row);
    UsbDeviceRow& r = usbDeviceTable[row];
    if (r.rowState() == UsbRowState::IN_USE && r.owner == &c) r.resetPending = 1;
    unlockUsbDeviceRow(row);
  }
  return sendStatusFor(c, h, result.error);
}
