// String descriptors of a row: fetched from the device, cached, shown as text.
#include <cstring>

#include "usbserver/devices/usbcontrol.h"
#include "usbserver/devices/usbdevicerow.h"
#include "usbserver/devices/usbquirks.h"

namespace {

constexpr uint8_t kRequestTypeDeviceIn = 0x80;
constexpr uint8_t kGetDescriptor = 6;
constexpr uint16_t kStringDescriptor = 0x0300;
constexpr unsigned kStringTimeoutMs = 1000;
constexpr uint8_t kOsStringIndex = 0xEE;
constexpr int kLongestResult = 254;

}  // namespace

int UsbDeviceRow::fetchStringDescriptor(int32_t handle, uint16_t language, uint8_t index,
                                        uint8_t* out, int length) {
  if (index == kOsStringIndex && isUsbQuirkDevice(UsbQuirk::NoOsStringDescriptor, vendorProductWord()))
    return -1;
  if (!out || length <= 0) return -1;
  if (length > 0xFFFF) length = 0xFFFF;
  const int r = usbControlTransfer(handle, kRequestTypeDeviceIn, kGetDescriptor,
                                   static_cast<uint16_t>(kStringDescriptor + index), language, out,
                                   static_cast<uint16_t>(length), kStringTimeoutMs);
  if (r >= 0 && r <= kLongestResult) {
    if (r > 0 && r == out[0]) cacheStringDescriptor(language, index, out, r);
    return r;
  }
  // Failures are not cached: a device busy once answers later.
  return r > 0 ? -1 : r;
}

int UsbDeviceRow::readStringAscii(uint8_t index, char* out, int size) {
  if (index == 0 || !out || size <= 0) return -1;
  pthread_mutex_lock(&mutex);
  bool known = languageIdKnown != 0;
  uint16_t language = languageId;
  pthread_mutex_unlock(&mutex);
  const int32_t handle = usbfsHandle;
  if (!known) {
    uint8_t languages[4];
    const int r = fetchStringDescriptor(handle, 0, 0, languages, sizeof languages);
    if (r < 4 || languages[0] < 4) return -1;
    language = static_cast<uint16_t>(languages[2] | (languages[3] << 8));
    pthread_mutex_lock(&mutex);
    languageId = language;
    languageIdKnown = 1;
    pthread_mutex_unlock(&mutex);
  }
  uint8_t text[255];
  const int r = fetchStringDescriptor(handle, language, index, text, sizeof text);
  if (r < 0) return r;
  int bytes = r;
  if (bytes > text[0]) bytes = text[0];  // nothing past the descriptor's own length
  int n = 0;
  for (int i = 2; i + 1 < bytes && n < size - 1; i += 2)
    out[n++] = text[i + 1] ? '?' : static_cast<char>(text[i]);
  out[n] = '\0';
  return n;
}
