// Handlers acting on a device: CLAIM_INTERFACE, RELEASE_INTERFACE,
// DISCONNECT, CLEAR_HALT, RESET_DEVICE, ABORT_ENDPOINT and DISCARD_URB.
//
// Except CLAIM_INTERFACE (a probe) and DISCARD_URB they start alike
// (beginRowRequest): a row that another connection owns is left alone,
// REFUSED/12 after the whole body was read.
#include <fcntl.h>

#include <cerrno>

#include "platform/usb/usbhost.h"
#include "usbserver/connections/usbconnection.h"
#include "usbserver/devices/portpower.h"
#include "usbserver/devices/publishedparams.h"
#include "usbserver/devices/usbdevicetable.h"
#include "usbserver/devices/usbquirks.h"
#include "usbserver/protocol/handlersupport.h"
#include "usbserver/protocol/usbhandlers.h"
#include "usbserver/protocol/wireprotocol.h"
#include "usbserver/transfers/urbengine.h"

namespace {

constexpr int kPowerCycleCs = 100;
constexpr int kLongPowerCycleCs = 400;

// The device reset of DISCONNECT on the owner's open handle: 0, or the
// errno to answer.
int32_t resetForDisconnect(UsbDeviceRow& r, int row, int handle) {
  const uint32_t word = r.vendorProductWord();
  if (isUsbQuirkDevice(UsbQuirk::StartConfigPowerCycle, word)) {
    powerOffUsbPortFor(r.port - 1, kLongPowerCycleCs);
    return 0;
  }
  const int hard = usbHost().hardReset(handle);
  if (hard == 0) {
    releaseCurrentInterfaces(row, handle);
    return 0;
  }
  if (hard == -ENODEV && !isUsbQuirkDevice(UsbQuirk::ResetFallbacksOnNoDevice, word)) return 0;
  if (usbPowerSwitchModel()) {
    powerOffUsbPortFor(r.port - 1, kPowerCycleCs);
    return 0;
  }
  const int rc = usbHost().reset(handle);
  if (rc < 0) return errnoOf(rc);
  releaseCurrentInterfaces(row, handle);
  return 0;
}

}  // namespace

int claimInterface(UsbConnection& c, const UsbRequestHeader& h) {
  uint8_t body[3];
  if (!readBody(c, body, sizeof body)) return c.sendStatus(h, USB_STATUS_FAILED, USB_ERR_PROTO);
  const int row = body[0];
  if (!isUsbDevicePresentOnPort(row, body[1])) return c.sendStatus(h, USB_STATUS_FAILED, USB_ERR_NODEV);
  int32_t error = 0;
  {
    RowMutex hold(row);
    UsbDeviceRow& r = usbDeviceTable[row];
    int32_t probe = -1;
    if (r.usbfsHandle >= 0) {
      error = USB_ERR_PROTO;
    } else if (!r.openDevice(O_RDWR, &probe)) {
      error = errno ? errno : USB_ERR_NODEV;
    } else {
      const int rc = usbHost().claimInterface(probe, body[2]);
      if (rc < 0) error = errnoOf(rc);
      usbHost().closeDevice(probe);  // gives the claim back
    }
  }
  return sendStatusFor(c, h, error);
}

int releaseUsbInterface(UsbConnection& c, const UsbRequestHeader& h) {
  uint8_t body[3];
  int row, result;
  RowUse use;
  if (!beginRowRequest(c, h, body, sizeof body, &row, &use, &result)) return result;
  int32_t error = 0;
  {
    RowMutex hold(row);
    const int handle = usbDeviceTable[row].usbfsHandle;
    if (handle < 0) error = USB_ERR_PROTO;
    else if (const int rc = usbHost().releaseInterface(handle, body[2]); rc < 0) error = errnoOf(rc);
  }
  return sendStatusFor(c, h, error);
}

int disconnectUsbDevice(UsbConnection& c, const UsbRequestHeader& h) {
  uint8_t body[2];
  int row, result;
  RowUse use;
  if (!beginRowRequest(c, h, body, sizeof body, &row, &use, &result, true)) return result;
  const int port = body[1];
  if (use == RowUse::Mine) abortAllUrbs(row);  // its CANCELLED completions go out first
  int32_t error = 0;
  {
    RowMutex hold(row);
    UsbDeviceRow& r = usbDeviceTable[row];
    const bool mine = r.rowState() == UsbRowState::IN_USE && r.owner == &c;
    if (mine) {
      if (r.usbfsHandle >= 0) error = resetForDisconnect(r, row, r.usbfsHandle);
      c.closeRowHandle(row);
      freeUrbList(r.transfers);  // the closed handle gave back what was in flight
      publishUsbDeviceReleased(row);
      r.owner = nullptr;
      r.currentConfigIndex = -1;
      r.setRowState(UsbRowState::PRESENT);
    } else if (r.rowState() == UsbRowState::PRESENT && r.port == port) {
      r.currentConfigIndex = -1;
    }
  }
  return sendStatusFor(c, h, error);
}

int clearUsbEndpointHalt(UsbConnection& c, const UsbRequestHeader& h) {
  uint8_t body[3];
  int row, result;
  RowUse use;
  if (!beginRowRequest(c, h, body, sizeof body, &row, &use, &result)) return result;
  int32_t error = 0;
  {
    RowMutex hold(row);
    UsbDeviceRow& r = usbDeviceTable[row];
    const uint32_t word = r.vendorProductWord();
    if (r.rowState() != UsbRowState::IN_USE || r.owner != &c || r.usbfsHandle < 0) {
      error = USB_ERR_PROTO;
    } else if (isUsbQuirkDevice(UsbQuirk::AlwaysConfigureNoClearHalt, word) ||
               isUsbQuirkDevice(UsbQuirk::NoClearHalt, word)) {
      error = 0;
    } else {
      const int rc = isUsbQuirkDevice(UsbQuirk::ResetEndpointForClearHalt, word)
                         ? usbHost().resetEndpoint(r.usbfsHandle, body[2])
                         : usbHost().clearHalt(r.usbfsHandle, body[2]);
      if (rc < 0) error = USB_ERR_NODEV;
    }
  }
  return sendStatusFor(c, h, error);
}

int resetDevice(UsbConnection& c, const UsbRequestHeader& h) {
  uint8_t body[2];
  int row, result;
  RowUse use;
  if (!beginRowRequest(c, h, body, sizeof body, &row, &use, &result)) return result;
  int32_t error = 0;
  {
    RowMutex hold(row);
    UsbDeviceRow& r = usbDeviceTable[row];
    // A row taken meanwhile is no longer this connection's to reset.
    const bool allowed = r.rowState() != UsbRowState::IN_USE || r.owner == &c;
    if (allowed && r.usbfsHandle >= 0) {
      int rc;
      if (isUsbQuirkDevice(UsbQuirk::HardResetForReset, r.vendorProductWord())) {
        usbHost().hardReset(r.usbfsHandle);
        rc = 0;
      } else {
        rc = usbHost().reset(r.usbfsHandle);
      }
      if (rc < 0) {
        if (usbPowerSwitchModel()) powerOffUsbPortFor(r.port - 1, kPowerCycleCs);
        else error = errnoOf(rc);
      }
    }
  }
  return sendStatusFor(c, h, error);
}

int abortUsbEndpoint(UsbConnection& c, const UsbRequestHeader& h) {
  uint8_t body[3];
  int row, result;
  RowUse use;
  if (!beginRowRequest(c, h, body, sizeof body, &row, &use, &result)) return result;
  bool open;
  {
    RowMutex hold(row);
    const UsbDeviceRow& r = usbDeviceTable[row];
    open = r.rowState() == UsbRowState::IN_USE && r.owner == &c && r.usbfsHandle >= 0;
  }
  if (!open) return c.sendStatus(h, USB_STATUS_FAILED, USB_ERR_PROTO);
  // The CANCELLED completions of transfers not in flight precede the reply.
  abortEndpointUrbs(row, body[2]);
  return c.sendStatus(h, USB_STATUS_OK, 0);
}

int discardUrbByTag(UsbConnection& c, const UsbRequestHeader& h) {
  uint8_t body[4];
  if (!readBody(c, body, sizeof body)) return c.sendStatus(h, USB_STATUS_FAILED, USB_ERR_PROTO);
  const uint32_t tag = getBe32(body);
  int cancelledRow = -1;
  for (int row = USB_MAXDEVS - 1; row >= 0; --row) {
    UsbDeviceRow& r = usbDeviceTable[row];
    RowMutex hold(row);
    if (r.owner != &c) continue;
    if (UrbRequest* request = findUrbByTag(r, tag)) {
      discardUrb(r, request);
      // A transfer that never reached the kernel (queued behind another on
      // its endpoint) has no reap to come: it is answered CANCELLED now.
      if (request->inKernel == 0) {
        request->flags.fetch_or(URB_ABORT);
        cancelledRow = row;
      }
      break;
    }
  }
  if (cancelledRow >= 0) sendAbortedCompletions(c, cancelledRow);
  return c.sendStatus(h, USB_STATUS_OK, 0);
}
