// One simulated USB device: its descriptors (and hostile edits of them),
// its configuration state, halted endpoints, faults, the standard control
// requests, and the data it has ready for its IN endpoints. The kinds of
// device (simusbkinds.h) add their class requests and data.
//
// Not thread-safe by itself: the simulated host calls it under its mutex.
#ifndef PLATFORM_SIMUSB_SIMUSBDEVICE_H
#define PLATFORM_SIMUSB_SIMUSBDEVICE_H

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/simusb/simusbdescriptors.h"

// Data the device sends on an IN endpoint: one transfer's worth. ends marks
// a transfer that finishes with a short (or zero-length) packet, which
// completes the URB that receives it even when the URB has room left.
struct SimUsbSegment {
  std::vector<uint8_t> data;
  size_t offset = 0;
  bool ends = false;
};

struct SimUsbFaults {
  std::set<uint8_t> timeout;                   // endpoints that never answer (0: control)
  std::map<uint8_t, size_t> shortNext;         // IN endpoint -> bytes of its next transfer
  int hardResetResult = -ENOTTY;               // 0 success, else -errno
  // Endpoint -> submissions still to go before one is refused with ENOMEM
  // (usbfs at its memory limit); 0 refuses the next one.
  std::map<uint8_t, unsigned> refuseSubmission;
  // Endpoints whose completed URBs are reaped newest first.
  std::set<uint8_t> reapNewestFirst;
  // Transfer buffers cannot be mapped from the device's handles (-ENOMEM,
  // usbfs at its memory limit or a kernel without mmap on its nodes).
  bool refuseMapping = false;
};

class SimUsbDevice {
 public:
  SimUsbDevice(std::string kind, SimUsbDescriptors descriptors);
  virtual ~SimUsbDevice();
  SimUsbDevice(const SimUsbDevice&) = delete;
  SimUsbDevice& operator=(const SimUsbDevice&) = delete;

  const std::string& kind() const { return kind_; }
  const SimUsbDescriptors& descriptors() const { return descriptors_; }

  // The descriptors as the device sends them, hostile edits included.
  const std::vector<uint8_t>& deviceBytes() const { return device_; }
  size_t configurationCount() const { return configs_.size(); }
  const std::vector<uint8_t>& configurationBytes(size_t index) const { return configs_[index]; }
  // What reading the usbfs node gives: the kernel's copy, which keeps at
  // most 8 configurations (and says so in bNumConfigurations).
  std::vector<uint8_t> nodeImage() const;

  // Hostile edits (the "fault" words blength, totallength, numinterfaces,
  // numconfigs); false when the edit does not fit the descriptors.
  bool editDescriptorLength(int nth, int value);
  bool editTotalLength(int value);
  bool editInterfaceCount(int value);
  bool editConfigurationCount(int value);
  void restoreDescriptors();

  // Configuration state. 0 = unconfigured.
  int activeConfigurationValue() const { return activeValue_; }
  const SimUsbConfiguration* activeConfiguration() const;
  bool setActiveConfiguration(int value);
  bool hasInterface(unsigned number) const;
  bool setAlternate(unsigned interface, unsigned alternate);
  // The endpoint in the current alternate settings of the active
  // configuration, with its interface number; null when there is none.
  const SimUsbEndpoint* findEndpoint(uint8_t address, int* interfaceNumber) const;

  bool halted(uint8_t endpoint) const { return halted_.count(endpoint) != 0; }
  void setHalted(uint8_t endpoint, bool on);
  SimUsbFaults& faults() { return faults_; }
  void clearFaults();

  // A control request on endpoint 0: the bytes of the data stage, or a
  // negative errno (-EPIPE for a stall).
  int control(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index, uint8_t* data, uint16_t length);

  // Data ready for an IN endpoint, oldest first.
  std::deque<SimUsbSegment>& inQueue(uint8_t endpoint) { return in_[endpoint]; }
  // Drops the oldest segment of an IN endpoint; its buffer is kept for
  // spareBuffer.
  void popIn(uint8_t endpoint);

  // OUT data of one URB; false when the device cannot take it yet (it stays
  // in flight). zeroPacket: the URB asked for a closing zero-length packet.
  virtual bool acceptOut(uint8_t endpoint, const uint8_t* data, size_t size, bool zeroPacket);

  // A port reset: halts cleared, alternate settings 0, device state reset.
  void busReset();

  // Timed behaviour, run by the worker: the next time (ms of the worker's
  // clock) the device wants a tick, 0 for none.
  virtual uint64_t tick(uint64_t nowMs);

  // An input report (HID devices); false for other kinds.
  virtual bool inputReport(const std::vector<uint8_t>& report);
  // The backing file (storage devices); "" for other kinds.
  virtual std::string backingFile() const;
  // Ports of a hub; 0 for other kinds.
  virtual int hubPorts() const;

  // Completion delay of every URB.
  unsigned delayMs = 0;

 protected:
  // Class and vendor requests; -EPIPE (stall) unless a kind answers them.
  virtual int classControl(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index, uint8_t* data,
                           uint16_t length);
  virtual void onReset();
  void pushIn(uint8_t endpoint, std::vector<uint8_t> data, bool ends);
  // An empty buffer for the next pushIn, with the room of a segment sent
  // earlier when one is kept: a device streaming data allocates nothing
  // once it has run for a while.
  std::vector<uint8_t> spareBuffer();
  uint16_t maxPacket(uint8_t endpoint) const;

 private:
  int getDescriptor(uint16_t value, uint16_t index, uint8_t* data, uint16_t length);
  void encode();

  std::string kind_;
  SimUsbDescriptors descriptors_;
  std::vector<uint8_t> device_;
  std::vector<std::vector<uint8_t>> configs_;
  int nodeConfigurationCount_ = -1;  // hostile bNumConfigurations, -1 none
  int activeValue_ = 0;
  std::map<unsigned, unsigned> alternates_;
  std::set<uint8_t> halted_;
  SimUsbFaults faults_;
  std::map<uint8_t, std::deque<SimUsbSegment>> in_;
  std::vector<std::vector<uint8_t>> spares_;
};

#endif
