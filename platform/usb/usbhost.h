// The USB host layer: the kernel's sysfs view of the USB devices
// ("/sys/bus/usb/devices") and the usbfs device nodes ("/dev/bus/usb/BBB/DDD")
// through which the USB service talks to them.
//
// Two implementations sit behind this interface: the Linux one (sysfs files
// and usbfs ioctls) and the simulated one of host mode and the tests, whose
// devices write the same sysfs files into the data root and answer the same
// calls. Every fixed path goes through mapPath().
//
// Results follow the usbfs ioctls: 0 (or a byte count) for success, a
// negative errno for failure. Nothing throws.
//
// A handle is a descriptor that may be put into an epoll set, the way a
// usbfs descriptor is:
//   - EPOLLOUT while at least one completed URB waits to be reaped; not
//     writable when none waits;
//   - EPOLLHUP and EPOLLERR once the device has gone; reaping still returns
//     the URBs that were in flight (status -ESHUTDOWN), then -ENODEV.
// A handle is given back with closeDevice(), never with ::close().
#ifndef PLATFORM_USB_USBHOST_H
#define PLATFORM_USB_USBHOST_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The kernel's URB record, <linux/usbdevice_fs.h>.
struct usbdevfs_urb;

// The board kernel's hard reset of a device: request 0x551A ('U', 26, no
// argument) on its usbfs node. Kernels without it answer ENOTTY.
constexpr unsigned long kUsbHardResetRequest = 0x551A;

class UsbHost {
 public:
  virtual ~UsbHost() = default;

  // ---- sysfs ----

  // mapPath("/sys/bus/usb/devices").
  static std::string sysfsDevicesDir();

  // The entries of the devices directory whose names begin with 1 .. 9
  // (the expansion of "[1-9]*": devices such as "1-1.2" and interface
  // directories such as "1-1.2:1.0"), as full mapped paths in the sorted
  // order of glob. Returns their number, or a negative errno when the
  // directory cannot be read.
  virtual int listSysfsDevices(std::vector<std::string>& paths);

  // Reads at most size bytes of the attribute file "<devicePath>/<name>",
  // opened read-only and non-blocking. Returns the bytes read (no
  // terminator is added, line ends are kept) or a negative errno.
  virtual int readSysfsAttribute(const std::string& devicePath, const char* name, char* out, size_t size);

  // True when the attribute file "<devicePath>/<name>" exists.
  virtual bool hasSysfsAttribute(const std::string& devicePath, const char* name);

  // ---- usbfs device nodes ----

  // Mounts sysfs on "/sys" when no line of "/proc/mounts" names "/sys",
  // then makes "/dev/bus" and "/dev/bus/usb" (mode 0777, set with chmod;
  // the process umask is left alone). 1 on success, 0 on failure.
  virtual int prepareUsbDeviceFilesystem() = 0;

  // mapPath of "/dev/bus/usb/BBB/DDD" (bus and device number, 3 digits).
  static std::string deviceNodePath(int busnum, int devnum);

  // Makes the bus directory (0777) when missing and, when the node is
  // missing, the node itself (character device major:minor, mode 0777).
  // 1 when the node exists afterwards, else 0.
  virtual int makeDeviceNode(int busnum, int devnum, int major, int minor) = 0;

  // Unlinks the node when it exists; 1 when it was removed, else 0.
  virtual int removeDeviceNode(int busnum, int devnum);

  // Opens the device's node with the open flags (O_RDWR, O_RDONLY; usbfs
  // refuses every request but reading on a read-only handle with EPERM).
  // Returns a handle (see above) or a negative errno.
  virtual int openDevice(int busnum, int devnum, int flags) = 0;

  // Closes a handle. Its claimed interfaces are released and its URBs that
  // are still in flight are cancelled and dropped. 0 or a negative errno.
  virtual int closeDevice(int handle) = 0;
  // Takes the device from a handle at once, from any thread, while its
  // owner may still be using the number: the handle's claims are released
  // and its URBs cancelled and dropped (none is reaped, none writes to the
  // caller's memory any more), as if it had been closed, but the number
  // stays the owner's until its closeDevice(). Later requests on it fail.
  // 0 or a negative errno.
  virtual int revokeHandle(int handle) = 0;

  // Reads the node from its current position: the 18-byte device
  // descriptor followed by every configuration's descriptors, each
  // configuration wTotalLength bytes. Bytes read (0 at the end) or -errno.
  virtual int readDevice(int handle, void* buffer, size_t size) = 0;

  // ---- requests on a handle (the usbfs ioctls) ----

  // One control transfer (USBDEVFS_CONTROL). The direction comes from bit 7
  // of requestType: IN fills at most length bytes of data, OUT sends them.
  // Returns the bytes transferred or a negative errno (-ETIMEDOUT after
  // timeoutMs, -EPIPE for a stall, -ENODEV when the device has gone).
  virtual int control(int handle, uint8_t requestType, uint8_t request, uint16_t value, uint16_t index, void* data,
                      uint16_t length, unsigned timeoutMs) = 0;

  virtual int claimInterface(int handle, unsigned interface) = 0;
  virtual int releaseInterface(int handle, unsigned interface) = 0;
  virtual int setInterface(int handle, unsigned interface, unsigned alternate) = 0;
  // Configuration value; 0 or -1 leaves the device unconfigured.
  virtual int setConfiguration(int handle, int value) = 0;
  virtual int clearHalt(int handle, unsigned endpoint) = 0;
  virtual int resetEndpoint(int handle, unsigned endpoint) = 0;
  // USBDEVFS_RESET: a port reset; claims and URBs of the device are lost.
  virtual int reset(int handle) = 0;
  // kUsbHardResetRequest; its errno as a negative number (-ENOTTY where the
  // kernel lacks the request).
  virtual int hardReset(int handle) = 0;

  // ---- transfer buffers ----

  // A buffer of size bytes for the URBs of handle that the host controller
  // works on in place: usbfs maps memory it allocated for DMA into the
  // process (mmap of the node, kernels since 4.6), and a URB whose buffer
  // lies in such memory is neither copied in at submission nor out at the
  // reap. 0 and *buffer set, or a negative errno (-ENOMEM at the usbfs
  // memory limit, -ENODEV where the node cannot be mapped): the caller then
  // uses ordinary memory, which usbfs copies.
  //
  // The buffer stays valid memory until unmapTransferBuffer, also when its
  // handle is revoked or closed first: then its pages are swapped for
  // private ones holding the same bytes, so nothing keeps the device's file
  // open and nothing written later reaches the device's memory.
  virtual int mapTransferBuffer(int handle, size_t size, void** buffer);
  // Gives back a buffer of mapTransferBuffer with the size it was asked
  // for; handle is the one it was mapped from (it may be closed by now).
  // 0, or -EINVAL for a buffer this host did not map.
  virtual int unmapTransferBuffer(int handle, void* buffer, size_t size);

  // USBDEVFS_SUBMITURB. The caller keeps the record (type, endpoint,
  // flags, buffer, buffer_length, usercontext) and its buffer alive and
  // leaves the buffer alone until the URB has been reaped: OUT data may be
  // read from it, and IN data written to it, at any time before the reap
  // (as a controller's DMA does with buffers mapped from usbfs). status and
  // actual_length are filled when it is reaped. Isochronous URBs are not
  // offered by this program.
  virtual int submitUrb(int handle, usbdevfs_urb* urb) = 0;
  // USBDEVFS_DISCARDURB: the URB comes back from the reap with status
  // -ENOENT; -EINVAL when it is not in flight (already completed).
  virtual int discardUrb(int handle, usbdevfs_urb* urb) = 0;
  // USBDEVFS_REAPURBNDELAY: one completed URB into *urb, 0; -EAGAIN when
  // none has completed; -ENODEV when none is left and the device has gone.
  virtual int reapUrbNoDelay(int handle, usbdevfs_urb** urb) = 0;
};

// The host in use: a test's host when one is installed, else the simulated
// host when the data root holds its device file mapPath("/etc/simusb.conf")
// (see usbhost_sim.h), else the Linux host. Chosen on first use and chosen
// again when the data root has changed since.
UsbHost& usbHost();

// Installs a host for the tests (not owned); null goes back to the
// automatic choice.
void setUsbHostForTesting(UsbHost* host);

#endif
