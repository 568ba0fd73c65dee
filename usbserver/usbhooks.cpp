// Until the device events and the connection tasks exist, these only keep
// the row consistent.
#include "usbserver/usbhooks.h"

#include "usbserver/usbdevicerow.h"

void releaseUsbRowTransfers(UsbDeviceRow& row) { row.transfers.clear(); }

int UsbDeviceRow::revokeFromOwner() {
  pthread_mutex_lock(&mutex);
  if (rowState() != UsbRowState::IN_USE) {
    pthread_mutex_unlock(&mutex);
    return 0;
  }
  closeDevice();
  owner = nullptr;
  eventSource = nullptr;
  setRowState(UsbRowState::PRESENT);
  pthread_mutex_unlock(&mutex);
  return 1;
}
