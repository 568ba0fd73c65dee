// One row of the USB device table: a plugged device, its identity from
// sysfs, its usbfs handle, its cached descriptors and strings, its owner.
#ifndef USBSERVER_DEVICES_USBDEVICEROW_H
#define USBSERVER_DEVICES_USBDEVICEROW_H

#include <atomic>
#include <cstdint>
#include <pthread.h>

#include "usbserver/devices/usbdescriptors.h"
#include "usbserver/devices/usbstringcache.h"
#include "usbserver/transfers/urblist.h"

class UsbEventSource;
class UsbConnection;

enum class UsbRowState : int32_t {
  FREE = 0,     // row not in use
  REMOVED = 1,  // device gone; kept 100 ticks so it is not entered again at once
  PRESENT = 2,  // plugged in and probed
  IN_USE = 3,   // a client connection owns it
};

// Speeds as sysfs "speed" gives them.
enum UsbSpeed : int32_t { USB_SPEED_UNKNOWN = 0, USB_SPEED_LOW = 1, USB_SPEED_FULL = 2,
                          USB_SPEED_HIGH = 3, USB_SPEED_SUPER = 5 };

constexpr int USB_NAME_SIZE = 64;  // texts keep at most 63 characters

class UsbDeviceRow {
 public:
  UsbDeviceRow();
  ~UsbDeviceRow();
  UsbDeviceRow(const UsbDeviceRow&) = delete;
  UsbDeviceRow& operator=(const UsbDeviceRow&) = delete;

  // --- Table and identity ---------------------------------------------------
  // Every field back to "no device" (see the .cpp); busnum, devnum, the ids
  // and the port keep their values.
  void initFields();
  // Frees the string cache, the descriptors and the configuration table.
  void releaseCaches();
  // releaseCaches and initFields under the row mutex.
  void recycle();
  // 1 when candidate is this row's device (see the .cpp), 0 otherwise; may
  // take the candidate's devnum. Under the row mutex.
  int isSameDevice(const UsbDeviceRow& candidate);
  // Copies the sysfs identity of a scan candidate (no mutex, handle, caches,
  // owner or transfers).
  void copyIdentityFrom(const UsbDeviceRow& candidate);
  bool isPresent() const {
    const UsbRowState s = rowState();
    return s == UsbRowState::PRESENT || s == UsbRowState::IN_USE;
  }
  UsbRowState rowState() const { return static_cast<UsbRowState>(state.load()); }
  void setRowState(UsbRowState s) { state.store(static_cast<int32_t>(s)); }
  // idVendor | idProduct << 16 from the cached device descriptor.
  uint32_t vendorProductWord() const;

  // --- Device node --------------------------------------------------------------
  // Makes the bus directory and the node of this device: 1 when the node
  // exists afterwards.
  int makeDeviceNode();
  // Unlinks the node when it exists: 1 when it did.
  int removeDeviceNode();
  // Opens the node with flags into *out, or into the row's handle when out
  // is null (nothing done, 0, when that is open already). 1 opened; on
  // failure a present row is announced removed and becomes REMOVED, 0.
  int openDevice(int flags, int32_t* out = nullptr);
  // 1 when a handle was open (it is closed now).
  int closeDevice();

  // --- Descriptors and strings (read once at probe) -------------------------------
  // Opens the node, reads the descriptors and the name strings, closes: 1
  // when the descriptors were read.
  int probe();
  // Reads the descriptors through the open handle: 1 or 0.
  int fetchDescriptors();
  // Fills the string cache with the device's name strings.
  void fetchNameStrings();
  // String index as text (units above 0xFF shown as '?'), at most size-1
  // characters and NUL: the count, or negative.
  int readStringAscii(uint8_t index, char* out, int size);
  // GET_DESCRIPTOR(string) on handle into out: bytes, or negative; cached
  // as described in the .cpp.
  int fetchStringDescriptor(int32_t handle, uint16_t languageId, uint8_t index, uint8_t* out,
                            int length);
  // Cached bytes (at most length), 0 for a remembered failure, -1 not cached.
  int findStringDescriptor(uint16_t languageId, uint8_t index, uint8_t* out, int length);
  void cacheStringDescriptor(uint16_t languageId, uint8_t index, const uint8_t* data, int length);
  void clearStringCache();
  int cachedStringCount();

  // --- Special devices ------------------------------------------------------------
  // String 0xEE must not be asked at probe.
  bool mustSkipOsStringDescriptor() const;
  // 04b4:1235 starts with configuration index 0 when it has a table.
  void applyStartConfigQuirk();
  // 088e:5036: its port stays off 300 ticks after release.
  bool needsLongPowerOff() const;

  // --- Hooks into the connection tasks (usbhooks.cpp) ------------------------------
  // Takes an IN_USE row from its owner: 1 when it was in use.
  int revokeFromOwner();

  // Fields, in the order of the record.
  std::atomic<int32_t> state{0};    // UsbRowState
  int32_t speed = 0;                // UsbSpeed
  std::atomic<uint8_t> rescanMark{0};
  uint32_t removalTick = 0;         // low 32 bits of uptimeCs when REMOVED
  int32_t busnum = 0;
  int32_t level = 0;                // components of the devpath
  int32_t parent = -1;              // always -1
  int32_t devpathHash = 0;
  std::atomic<int32_t> devnum{0};   // renumbering behind hubs updates it in place
  int32_t versionMajor = 0;
  int32_t versionMinor = 0;
  int32_t deviceClass = 0;
  int32_t deviceSubClass = 0;
  int32_t idVendor = 0;
  int32_t idProduct = 0;
  int32_t bcdDeviceHigh = 0;
  int32_t bcdDeviceLow = 0;
  char manufacturer[USB_NAME_SIZE] = {};
  char product[USB_NAME_SIZE] = {};
  char serial[USB_NAME_SIZE] = {};
  int32_t maxPower = 0;             // mA
  int32_t deviceMajor = 0;
  int32_t deviceMinor = 0;
  int32_t usbfsHandle = -1;
  std::atomic<uint8_t> resetPending{0};
  int32_t port = 0;                 // 1 .. 20; 0 = never offered
  // Recursive: the string cache operations take it and are also reached
  // with it held (recycle, transfer handlers).
  pthread_mutex_t mutex;
  uint8_t languageIdKnown = 0;
  uint16_t languageId = 0;
  int32_t currentConfigIndex = -1;
  UsbDescriptorCache descriptors;   // device descriptor, configuration table, counts
  UsbStringCache strings;           // guarded by mutex
  UsbEventSource* eventSource = nullptr;
  UsbConnection* owner = nullptr;
  UrbList transfers;
};

#endif
