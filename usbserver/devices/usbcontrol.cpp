#include "usbserver/devices/usbcontrol.h"

#include <cerrno>
#include <cstring>

#include "platform/usb/usbhost.h"

int usbControlTransfer(int32_t handle, uint8_t requestType, uint8_t request, uint16_t value,
                       uint16_t index, uint8_t* data, uint16_t length, unsigned timeoutMs) {
  if (handle < 0) return -1;
  if (!data && length) {
    errno = EINVAL;
    return -EINVAL;
  }
  if (length) std::memset(data, 0, length);
  const int rc = usbHost().control(handle, requestType, request, value, index, data, length, timeoutMs);
  if (rc < 0) errno = -rc;
  return rc;
}
