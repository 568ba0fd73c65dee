#include "usbserver/devices/usbdevicerow.h"

#include <cstring>

#include "usbserver/devices/usbdevicetable.h"
#include "usbserver/devices/usbhooks.h"
#include "usbserver/devices/usbquirks.h"

namespace {

// Holds a row mutex for a scope.
class RowLock {
 public:
  explicit RowLock(pthread_mutex_t& m) : m_(m), held_(pthread_mutex_lock(&m) == 0) {}
  ~RowLock() {
    if (held_) pthread_mutex_unlock(&m_);
  }
  RowLock(const RowLock&) = delete;
  RowLock& operator=(const RowLock&) = delete;

 private:
  pthread_mutex_t& m_;
  bool held_;
};

}  // namespace

UsbDeviceRow::UsbDeviceRow() {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(&mutex, &attr);
  pthread_mutexattr_destroy(&attr);
  initFields();
}

UsbDeviceRow::~UsbDeviceRow() { pthread_mutex_destroy(&mutex); }

void UsbDeviceRow::initFields() {
  setRowState(UsbRowState::FREE);
  rescanMark = 0;
  speed = 0;
  manufacturer[0] = product[0] = serial[0] = '\0';
  languageIdKnown = 0;
  languageId = 0;
  devpathHash = 0;
  bcdDeviceHigh = bcdDeviceLow = 0;
  descriptors.configTable.reset();
  descriptors.configTableSize = 0;
  std::memset(descriptors.endpointsIn, 0, sizeof descriptors.endpointsIn);
  std::memset(descriptors.endpointsOut, 0, sizeof descriptors.endpointsOut);
  descriptors.endpointsIn[USB_EP_CONTROL] = 1;
  descriptors.endpointsOut[USB_EP_CONTROL] = 1;
  descriptors.configCount = 0;
  descriptors.interfaceCount = 0;
  descriptors.videoDevice = 0;
  strings.clear();
  eventSource = nullptr;
  owner = nullptr;
  resetPending = 0;
  transfers.clear();
  usbfsHandle = -1;
  parent = -1;
  currentConfigIndex = -1;
}

void UsbDeviceRow::releaseCaches() {
  RowLock hold(mutex);
  strings.clear();
  std::memset(descriptors.device, 0, sizeof descriptors.device);
  descriptors.configTable.reset();
  descriptors.configTableSize = 0;
}

void UsbDeviceRow::recycle() {
  RowLock hold(mutex);
  if (!transfers.empty()) releaseUsbRowTransfers(*this);
  closeDevice();  // a handle left open would leak with the row
  releaseCaches();
  initFields();
}

int UsbDeviceRow::isSameDevice(const UsbDeviceRow& candidate) {
  RowLock hold(mutex);
  if (busnum != candidate.busnum || level != candidate.level || parent != candidate.parent ||
      devpathHash != candidate.devpathHash || versionMajor != candidate.versionMajor ||
      versionMinor != candidate.versionMinor || deviceClass != candidate.deviceClass ||
      deviceSubClass != candidate.deviceSubClass || idVendor != candidate.idVendor ||
      idProduct != candidate.idProduct || bcdDeviceHigh != candidate.bcdDeviceHigh ||
      bcdDeviceLow != candidate.bcdDeviceLow)
    return 0;
  if (devnum != candidate.devnum) {
    // Hubs renumber the devices behind them; deep enough, it is the same one.
    if (level <= usbHubLevelThreshold) return 0;
    devnum = candidate.devnum.load();
  }
  rescanMark = 0;
  return 1;
}

void UsbDeviceRow::copyIdentityFrom(const UsbDeviceRow& c) {
  speed = c.speed;
  removalTick = c.removalTick;
  busnum = c.busnum;
  level = c.level;
  parent = c.parent;
  devpathHash = c.devpathHash;
  devnum = c.devnum.load();
  versionMajor = c.versionMajor;
  versionMinor = c.versionMinor;
  deviceClass = c.deviceClass;
  deviceSubClass = c.deviceSubClass;
  idVendor = c.idVendor;
  idProduct = c.idProduct;
  bcdDeviceHigh = c.bcdDeviceHigh;
  bcdDeviceLow = c.bcdDeviceLow;
  std::memcpy(manufacturer, c.manufacturer, sizeof manufacturer);
  std::memcpy(product, c.product, sizeof product);
  std::memcpy(serial, c.serial, sizeof serial);
  manufacturer[USB_NAME_SIZE - 1] = product[USB_NAME_SIZE - 1] = serial[USB_NAME_SIZE - 1] = '\0';
  maxPower = c.maxPower;
  deviceMajor = c.deviceMajor;
  deviceMinor = c.deviceMinor;
  port = c.port;
}

uint32_t UsbDeviceRow::vendorProductWord() const {
  return usbVendorProductWord(descriptors.idVendor(), descriptors.idProduct());
}

bool UsbDeviceRow::mustSkipOsStringDescriptor() const {
  const uint32_t word = vendorProductWord();
  return isUsbQuirkDevice(UsbQuirk::UnconfigureFirst, word) ||
         isUsbQuirkDevice(UsbQuirk::NoOsStringDescriptor, word);
}

void UsbDeviceRow::applyStartConfigQuirk() {
  if (isUsbQuirkDevice(UsbQuirk::StartConfigPowerCycle, vendorProductWord()) &&
      descriptors.configTable)
    currentConfigIndex = 0;
}

bool UsbDeviceRow::needsLongPowerOff() const {
  return isUsbQuirkDevice(UsbQuirk::UnconfigureFirst, vendorProductWord());
}

int UsbDeviceRow::findStringDescriptor(uint16_t language, uint8_t index, uint8_t* out, int length) {
  RowLock hold(mutex);
  return strings.find(language, index, out, length);
}

void UsbDeviceRow::cacheStringDescriptor(uint16_t language, uint8_t index, const uint8_t* data,
                                         int length) {
  RowLock hold(mutex);
  strings.add(language, index, data, length);
}

void UsbDeviceRow::clearStringCache() {
  RowLock hold(mutex);
  strings.clear();
}

int UsbDeviceRow::cachedStringCount() {
  RowLock hold(mutex);
  return strings.count();
}
