// Inside the simulated USB host: plugged devices, open handles, URBs in
// flight and completed, and the worker. Every member is guarded by mutex;
// the functions here expect it held.
#ifndef PLATFORM_SIMUSB_SIMUSBSTATE_H
#define PLATFORM_SIMUSB_SIMUSBSTATE_H

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/simusb/simusbdevice.h"
#include "platform/simusb/simusbreadiness.h"
#include "platform/simusb/usbhost_sim.h"

struct usbdevfs_urb;
struct SimUsbHandle;

// A URB in the simulator works on the caller's buffer as a host
// controller's DMA does: OUT data is read from it when the device takes the
// transfer, IN data lands in it as the device sends. Nothing is copied at
// submission or reap, and records are reused per handle.
struct SimUsbUrb {
  usbdevfs_urb* user = nullptr;
  SimUsbHandle* handle = nullptr;
  uint8_t endpoint = 0;
  unsigned flags = 0;
  uint8_t* buffer = nullptr;  // the caller's, from its data stage on
  size_t length = 0;
  size_t filled = 0;      // IN: bytes received so far
  size_t dataOffset = 0;  // 8 for a control URB (its setup block)
  bool in = false;
  // On a bulk endpoint; submitted with USBDEVFS_URB_BULK_CONTINUATION.
  bool bulk = false;
  bool continuation = false;
  int status = 0;
  uint64_t notBeforeMs = 0;
};

struct SimUsbSlot {
  std::string devpath;
  std::string kind;
  int busnum = 0;
  int devnum = 0;
  std::unique_ptr<SimUsbDevice> device;
  bool gone = false;
  std::map<uint8_t, std::deque<SimUsbUrb*>> queues;  // per endpoint, in order of submission
  std::map<unsigned, int> claims;                    // interface -> handle
  std::set<int> handles;
};

// The bit of a bulk endpoint in SimUsbHandle::disabledBulk.
inline uint32_t simBulkEndpointBit(uint8_t endpoint) {
  return 1u << ((endpoint & 0x80 ? 16 : 0) + (endpoint & 0x0f));
}

struct SimUsbHandle {
  int fd = -1;
  bool writeAllowed = true;
  size_t readPosition = 0;
  std::shared_ptr<SimUsbSlot> slot;
  SimUsbReadiness readiness;
  std::vector<std::unique_ptr<SimUsbUrb>> inFlight;
  std::deque<std::unique_ptr<SimUsbUrb>> completed;
  std::vector<std::unique_ptr<SimUsbUrb>> spareUrbs;  // reaped records, for reuse
  // Bulk endpoints (bit 0-15 OUT, 16-31 IN, by number) that refuse
  // continuation URBs after a failed one, until a transfer starts anew.
  uint32_t disabledBulk = 0;
  std::map<void*, size_t> buffers;                     // mapped transfer buffers -> length

  // A cleared record, a reaped one when there is one.
  std::unique_ptr<SimUsbUrb> takeUrb();
  void keepUrb(std::unique_ptr<SimUsbUrb> urb);
};

struct SimUsbHost::State {
  explicit State(SimUsbHost* owner) : host(owner), sysfsDir(UsbHost::sysfsDevicesDir()) {}

  SimUsbHost* host;
  const std::string sysfsDir;  // mapped once: the data root may change later
  std::mutex mutex;
  std::condition_variable changed;  // a device went: control waits end
  std::map<std::string, std::shared_ptr<SimUsbSlot>> devices;
  std::map<int, std::unique_ptr<SimUsbHandle>> handles;
  std::map<int, int> lastDevnum;  // per bus
  std::set<int> rootHubs;

  std::thread worker;
  bool stopping = false;
  int wakeFd = -1;
  int listenFd = -1;
  std::string controlPath;

  // Transfer buffers of handles revoked or closed, not yet given back, and
  // the counts transferBufferCounts() reports.
  std::map<void*, size_t> detachedBuffers;
  uint64_t buffersMapped = 0;
  uint64_t urbsInMappedBuffers = 0;
  // The handle's mapped buffers become ordinary memory of the caller's.
  void detachBuffers(SimUsbHandle& h);
  // -EINVAL when the URB's buffer starts in a mapped buffer of the handle
  // and runs past its end (as usbfs answers), else 0; counts URBs that lie
  // in one.
  int checkMappedBuffer(const SimUsbHandle& h, const void* buffer, size_t length);

  static uint64_t nowMs();
  void wake();

  // Handle lookup with the usbfs checks: -EBADF unknown, -EPERM read-only,
  // -ENODEV when the device has gone (unless allowGone).
  int begin(int fd, SimUsbHandle** handle, bool allowGone = false);
  std::shared_ptr<SimUsbSlot> findSlot(int busnum, int devnum);

  // The interface of an endpoint of the active configuration; -ESRCH
  // unconfigured, -ENOENT none.
  static int interfaceOfEndpoint(SimUsbSlot& slot, unsigned endpoint);
  // Claims the interface for the handle when nobody has; -EBUSY when
  // another handle has it.
  static int claimFor(SimUsbSlot& slot, int fd, unsigned interface);
  // What usbfs does before any call on an endpoint: the endpoint's
  // interface, claimed for the handle. 0, or the negative errno of either.
  static int claimEndpointInterface(SimUsbSlot& slot, int fd, unsigned endpoint);

  // Moves the URB from its endpoint queue to its handle's completed list.
  void complete(SimUsbSlot& slot, SimUsbUrb* urb, int status);
  // Ends URBs in flight on the device with the status: all, or those of
  // one handle, or those on the endpoints of one interface.
  void cancel(SimUsbSlot& slot, int status, int fd = -1, int interface = -1);
  // Takes the handle off its device: its URBs end with -ENOENT, its claims
  // go and the device serves the others. The handle keeps its slot.
  void detach(SimUsbHandle& h);
  // After a bulk URB failed: the handle's continuation URBs queued behind
  // it on its endpoint end with -ECONNRESET, and the endpoint refuses
  // further ones, unless a new transfer is already queued there.
  void cancelContinuations(SimUsbSlot& slot, SimUsbHandle& h, uint8_t endpoint);
  // Serves every endpoint queue as far as the device allows.
  void pump(SimUsbSlot& slot);
  bool fillIn(SimUsbSlot& slot, SimUsbUrb& urb);
  // The device stops answering: URBs end with -ESHUTDOWN, handles hang up.
  void markGone(SimUsbSlot& slot);
  // A port reset of the device: URBs end with -ENOENT, claims go.
  void resetDevice(SimUsbSlot& slot);
  // The next time the worker must look at the devices (0: none).
  uint64_t serviceDevices();

  int controlRequest(SimUsbHandle& h, uint8_t requestType, uint8_t request, uint16_t value, uint16_t index,
                     uint8_t* data, uint16_t length, unsigned timeoutMs, std::unique_lock<std::mutex>& lock);

  void runWorker();
};

#endif
