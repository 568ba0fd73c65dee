// The simulated USB host of host mode and the tests.
//
// Simulated devices appear as real files in the data root: a sysfs tree
// under mapPath("/sys/bus/usb/devices") (device directories such as
// "1-1.2" with "busnum", "devnum", "idVendor", ..., interface directories
// such as "1-1.2:1.0", root hubs "usb1") that the ordinary sysfs reader of
// UsbHost reads, and device nodes that the program makes itself with
// makeDeviceNode (plain files here: only root may make device files).
// The requests on a handle behave as usbfs does: see usbhost.h.
//
// Readiness: a handle is one end of a Unix stream socket pair whose other
// end the simulator keeps. While no completed URB waits, the simulator
// keeps the handle's send buffer full (the handle is not writable); when a
// URB completes it drains the buffer, so the handle turns writable and
// epoll reports EPOLLOUT. When the device goes the simulator closes its
// end with unread data in it, which gives the handle EPOLLHUP and EPOLLERR
// (and, unlike usbfs, EPOLLIN and EPOLLOUT from then on: a reap then
// returns the URBs that were in flight, then -ENODEV).
//
// Statuses: a discarded URB and the URBs cut off by a reset or by
// releasing their interface come back with -ENOENT (usb_kill_urb); those in
// flight when the device goes come back with -ESHUTDOWN (the host
// controller's status for a flushed endpoint).
//
// Bulk transfers in several URBs follow usbfs: when a bulk URB fails (a
// stall, or a short packet with USBDEVFS_URB_SHORT_NOT_OK: -EREMOTEIO), the
// handle's URBs queued behind it on the endpoint that carry
// USBDEVFS_URB_BULK_CONTINUATION end with -ECONNRESET before they take any
// data, and further continuation URBs are refused with -EREMOTEIO until a
// URB without the flag starts the next transfer.
//
// URBs of devices that answer at once complete inside submitUrb; devices
// with a delay and timed HID reports complete on the simulator's worker
// thread. One mutex guards the whole simulator.
//
// Data path: a URB works on the caller's buffer as a host controller's DMA
// does. OUT data is read from it when the device takes the transfer, IN
// data is written to it as the device sends (one copy, from the device's
// data); nothing is copied at submission or reap. URB records are reused
// per handle and the devices keep the buffers of their sent data, so a
// running transfer allocates nothing.
//
// Device file (mapPath("/etc/simusb.conf"), read by loadDeviceFile): one
// device per line, "<devpath> <kind> [options]"; blank lines and lines
// starting with '#' are skipped. A devpath is "<bus>-<port>[.<port>...]";
// a device behind a hub needs the hub's line first.
//   kinds:   hub [<ports>]   a hub (4 ports unless given)
//            hid             a keyboard-like HID device, interrupt IN 0x81
//            loopback        bulk OUT 0x01 echoed on bulk IN 0x81
//            storage         mass storage (bulk-only transport, SCSI),
//                            bulk IN 0x81 and bulk OUT 0x02
//   options: vid=<hex> pid=<hex> bcd=<hex> class=<hex>
//            speed=low|full|high|super   manufacturer=<text> product=<text>
//            serial=<text> (texts use '_' for a blank)
//            configs=<n>     n configurations (the kernel shows at most 8)
//            delay=<ms>      URBs complete only after this time
//            interval=<ms>   (hid) a report every <ms> milliseconds
//            size=<n>[K|M|G] file=<fixed path>   (storage) backing file,
//                            default mapPath("/var/simusb/<devpath>.img"), 8M
//            ports=<n>       (hub) as the bare number
// Example:
//   1-1 hub 4
//   1-1.2 hid
//   1-1.3 storage size=8M
//   1-1.4 loopback
//
// Control socket (startControl, normally mapPath("/var/simusb.ctl")): a
// Unix stream socket taking the commands below, one per line; each is
// answered by data lines (for "list") and then "ok" or "error <reason>".
//   plug <devpath> <kind> [options]
//   unplug <devpath>            the device and everything behind it
//   report <devpath> <hex>      (hid) one input report
//   fault <devpath> <fault>     one of:
//     stall <ep>                the endpoint halts: -EPIPE until CLEAR_HALT
//                               (ep 0: the next control request only)
//     timeout <ep>              the endpoint never answers: URBs stay in
//                               flight, control requests give -ETIMEDOUT
//                               after their time-out (5 s for 0, "none")
//     short <ep> <n>            the next IN transfer ends after n bytes
//     reorder <ep>              the endpoint's completed URBs are reaped
//                               newest first (before those of others)
//     nomem <ep> [<n>]          after n more submissions on the endpoint
//                               (default 0) one is refused with ENOMEM
//     gone                      the device stops answering as if pulled
//                               out; sysfs and the node stay until unplug
//     blength <value> [<n>]     bLength of the n-th descriptor after the
//                               first configuration descriptor (default 1)
//     totallength <value>       wTotalLength of the first configuration
//     numinterfaces <value>     bNumInterfaces of the first configuration
//     numconfigs <value>        bNumConfigurations, nothing else changed
//     nomap                     transfer buffers cannot be mapped from the
//                               device's handles (ENOMEM)
//     hardreset ok|<errno>      answer of the hard reset: ok, a name (ENOTTY,
//                               ENODEV, EIO, EPIPE, EBUSY, ETIMEDOUT) or a
//                               number; ENOTTY unless set
//     clear                     every fault above undone
//   list                        one line per device: "<devpath> <kind>
//                               <bus> <devnum>", " gone" added after a
//                               "gone" fault
#ifndef PLATFORM_SIMUSB_USBHOST_SIM_H
#define PLATFORM_SIMUSB_USBHOST_SIM_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/usb/usbhost.h"

class SimUsbHost : public UsbHost {
 public:
  // An empty bus. Clears a sysfs tree that an earlier run left in the data
  // root and starts the worker thread.
  SimUsbHost();
  // Hangs up every handle, removes the simulated sysfs entries, stops the
  // worker and the control socket.
  ~SimUsbHost() override;
  SimUsbHost(const SimUsbHost&) = delete;
  SimUsbHost& operator=(const SimUsbHost&) = delete;

  // Plugs the devices of the device file (a fixed path, mapped). The number
  // of devices plugged, -1 when the file cannot be read.
  int loadDeviceFile(const char* fixedPath = "/etc/simusb.conf");

  // Serves the control socket at the fixed path (mapped). 1 or 0.
  int startControl(const char* fixedPath = "/var/simusb.ctl");

  // One command as the control socket takes it; the answer lines, each
  // ending in '\n', the last "ok" or "error <reason>".
  std::string command(const std::string& line);

  // The commands as calls: 1 done, 0 refused.
  int plug(const std::string& devpath, const std::string& kindAndOptions);
  int unplug(const std::string& devpath);
  int fault(const std::string& devpath, const std::string& fault);
  int hidReport(const std::string& devpath, const std::vector<uint8_t>& report);

  // Bus and device number of a plugged device; false when none.
  bool deviceNumbers(const std::string& devpath, int* busnum, int* devnum) const;
  // The backing file of a storage device, "" for other devices.
  std::string storageFile(const std::string& devpath) const;
  // Handles open now (all devices).
  int openHandleCount() const;
  // Transfer buffers: mapped now (those of closed handles included), mapped
  // since the host started, and URBs submitted whose buffer was a mapped
  // buffer of their handle.
  struct TransferBufferCounts {
    int live = 0;
    uint64_t mapped = 0;
    uint64_t urbsInMapped = 0;
  };
  TransferBufferCounts transferBufferCounts() const;

  // UsbHost
  int prepareUsbDeviceFilesystem() override;
  int makeDeviceNode(int busnum, int devnum, int major, int minor) override;
  int openDevice(int busnum, int devnum, int flags) override;
  int closeDevice(int handle) override;
  int revokeHandle(int handle) override;
  int readDevice(int handle, void* buffer, size_t size) override;
  int control(int handle, uint8_t requestType, uint8_t request, uint16_t value, uint16_t index, void* data,
              uint16_t length, unsigned timeoutMs) override;
  int claimInterface(int handle, unsigned interface) override;
  int releaseInterface(int handle, unsigned interface) override;
  int setInterface(int handle, unsigned interface, unsigned alternate) override;
  int setConfiguration(int handle, int value) override;
  int clearHalt(int handle, unsigned endpoint) override;
  int resetEndpoint(int handle, unsigned endpoint) override;
  int reset(int handle) override;
  int hardReset(int handle) override;
  int submitUrb(int handle, usbdevfs_urb* urb) override;
  int discardUrb(int handle, usbdevfs_urb* urb) override;
  int reapUrbNoDelay(int handle, usbdevfs_urb** urb) override;
  // Page-aligned memory of the simulator's own, which its devices fill in
  // place as they do any caller's buffer; after a revoke or close it stays
  // the caller's until given back. Buffers not given back when the host
  // ends stay mapped: a caller may still hold them.
  int mapTransferBuffer(int handle, size_t size, void** buffer) override;
  int unmapTransferBuffer(int handle, void* buffer, size_t size) override;

  struct State;

 private:
  std::unique_ptr<State> state_;
};

#endif
