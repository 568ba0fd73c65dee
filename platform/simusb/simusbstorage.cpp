// A mass-storage device with the bulk-only transport: a command block
// wrapper (31 bytes) on bulk OUT 0x02, the data stage, and a command status
// wrapper (13 bytes) on bulk IN 0x81. SCSI commands: TEST UNIT READY,
// REQUEST SENSE, INQUIRY, MODE SENSE(6), READ CAPACITY(10), READ(10),
// WRITE(10), PREVENT ALLOW MEDIUM REMOVAL, SYNCHRONIZE CACHE(10). The
// blocks (512 bytes) live in a backing file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "platform/simusb/simusbdevice.h"
#include "platform/simusb/simusbkinds.h"
#include "platform/simusb/simusbsysfs.h"
#include "runtime/bytes/byteorder.h"
#include "runtime/file/paths.h"

namespace {

constexpr uint8_t kInEndpoint = 0x81;
constexpr uint8_t kOutEndpoint = 0x02;
constexpr uint32_t kBlockSize = 512;
constexpr uint32_t kCbwSignature = 0x43425355;  // "USBC"
constexpr uint32_t kCswSignature = 0x53425355;  // "USBS"

class SimUsbStorage : public SimUsbDevice {
 public:
  SimUsbStorage(SimUsbDescriptors d, std::string file, int fd, uint64_t blocks)
      : SimUsbDevice("storage", std::move(d)), file_(std::move(file)), fd_(fd), blocks_(blocks) {}
  ~SimUsbStorage() override {
    if (fd_ >= 0) ::close(fd_);
  }

  std::string backingFile() const override { return file_; }

  bool acceptOut(uint8_t endpoint, const uint8_t* data, size_t size, bool) override {
    if (endpoint != kOutEndpoint) return true;
    if (writeExpected_ > 0) {
      writeBuffer_.insert(writeBuffer_.end(), data, data + size);
      if (writeBuffer_.size() >= writeExpected_ || size % maxPacket(kOutEndpoint) != 0) finishWrite();
      return true;
    }
    command(data, size);
    return true;
  }

 protected:
  int classControl(uint8_t requestType, uint8_t request, uint16_t, uint16_t index, uint8_t* data,
                   uint16_t length) override {
    if (index != 0) return -EPIPE;
    if (requestType == 0xa1 && request == 0xfe) {  // GET MAX LUN
      if (length < 1) return -EPIPE;
      data[0] = 0;
      return 1;
    }
    if (requestType == 0x21 && request == 0xff) {  // bulk-only mass storage reset
      resetTransport();
      return 0;
    }
    return -EPIPE;
  }

  void onReset() override {
    resetTransport();
    senseKey_ = 6;  // UNIT ATTENTION after a reset
    asc_ = 0x29;
  }

 private:
  void resetTransport() {
    writeExpected_ = 0;
    writeBuffer_.clear();
  }

  void setSense(uint8_t key, uint8_t asc) {
    senseKey_ = key;
    asc_ = asc;
  }

  // An invalid command block: both bulk endpoints halt until the host's
  // reset recovery.
  void phaseError() {
    setHalted(kInEndpoint, true);
    setHalted(kOutEndpoint, true);
  }

  void sendStatus(uint32_t residue, uint8_t status) {
    std::vector<uint8_t> csw(13, 0);
    putLe32(&csw[0], kCswSignature);
    putLe32(&csw[4], tag_);
    putLe32(&csw[8], residue);
    csw[12] = status;
    pushIn(kInEndpoint, std::move(csw), true);
  }

  // The data stage of an IN command, then its status.
  void sendData(std::vector<uint8_t> data, uint8_t status) {
    uint32_t expected = transferLength_;
    if (!dataIn_ && expected) {  // the host meant to send: nothing fits
      sendStatus(expected, 2);
      return;
    }
    if (expected == 0) {
      sendStatus(0, data.empty() ? status : 2);
      return;
    }
    const bool tooMuch = data.size() > expected;
    if (tooMuch) data.resize(expected);
    const uint32_t sent = static_cast<uint32_t>(data.size());
    const bool ends = sent < expected || sent % maxPacket(kInEndpoint) != 0;
    pushIn(kInEndpoint, std::move(data), ends);
    sendStatus(expected - sent, tooMuch ? 2 : status);
  }

  bool blockRange(const uint8_t* cb, uint32_t* lba, uint32_t* count) {
    *lba = getBe32(cb + 2);
    *count = static_cast<uint32_t>(cb[7] << 8 | cb[8]);
    if (static_cast<uint64_t>(*lba) + *count > blocks_) {
      setSense(5, 0x21);  // ILLEGAL REQUEST, LBA out of range
      return false;
    }
    return true;
  }

  void command(const uint8_t* cbw, size_t size) {
    if (size != 31 || getLe32(cbw) != kCbwSignature || cbw[14] < 1 || cbw[14] > 16) {
      phaseError();
      return;
    }
    tag_ = getLe32(cbw + 4);
    transferLength_ = getLe32(cbw + 8);
    dataIn_ = (cbw[12] & 0x80) != 0;
    const uint8_t* cb = cbw + 15;
    switch (cb[0]) {
      case 0x00:  // TEST UNIT READY
      case 0x1e:  // PREVENT ALLOW MEDIUM REMOVAL
        sendData({}, 0);
        return;
      case 0x35:  // SYNCHRONIZE CACHE(10)
        ::fsync(fd_);
        sendData({}, 0);
        return;
      case 0x03: {  // REQUEST SENSE
        std::vector<uint8_t> sense(18, 0);
        sense[0] = 0x70;
        sense[2] = senseKey_;
        sense[7] = 10;
        sense[12] = asc_;
        setSense(0, 0);
        if (sense.size() > cb[4]) sense.resize(cb[4]);
        sendData(std::move(sense), 0);
        return;
      }
      case 0x12: {  // INQUIRY
        std::vector<uint8_t> inquiry(36, ' ');
        inquiry[0] = 0;
        inquiry[1] = 0x80;  // removable
        inquiry[2] = 4;
        inquiry[3] = 2;
        inquiry[4] = 31;
        inquiry[5] = inquiry[6] = inquiry[7] = 0;
        std::memcpy(&inquiry[8], "SIMUSB  ", 8);
        std::memcpy(&inquiry[16], "Sim Storage     ", 16);
        std::memcpy(&inquiry[32], "1.00", 4);
        if (inquiry.size() > cb[4]) inquiry.resize(cb[4]);
        sendData(std::move(inquiry), 0);
        return;
      }
      case 0x1a:  // MODE SENSE(6)
        sendData({3, 0, 0, 0}, 0);
        return;
      case 0x25: {  // READ CAPACITY(10)
        std::vector<uint8_t> cap(8);
        putBe32(&cap[0], static_cast<uint32_t>(blocks_ ? blocks_ - 1 : 0));
        putBe32(&cap[4], kBlockSize);
        sendData(std::move(cap), 0);
        return;
      }
      case 0x28: {  // READ(10)
        uint32_t lba, count;
        if (!blockRange(cb, &lba, &count)) {
          sendData({}, 1);
          return;
        }
        std::vector<uint8_t> data = spareBuffer();
        data.resize(static_cast<size_t>(count) * kBlockSize);
        ssize_t n = data.empty() ? 0 : ::pread(fd_, data.data(), data.size(), static_cast<off_t>(lba) * kBlockSize);
        if (n < 0) {
          setSense(3, 0x11);  // MEDIUM ERROR, unrecovered read error
          sendData({}, 1);
          return;
        }
        // Blocks past the end of a shorter file read as zeros.
        sendData(std::move(data), 0);
        return;
      }
      case 0x2a: {  // WRITE(10)
        uint32_t lba, count;
        if (!blockRange(cb, &lba, &count) || dataIn_) {
          if (dataIn_) setSense(5, 0x24);
          sendStatus(transferLength_, 1);
          if (!dataIn_ && transferLength_) phaseError();
          return;
        }
        writeLba_ = lba;
        writeBytes_ = static_cast<size_t>(count) * kBlockSize;
        if (transferLength_ == 0) {
          sendStatus(0, writeBytes_ ? 2 : 0);
          return;
        }
        writeExpected_ = transferLength_;
        writeBuffer_.clear();
        return;
      }
      default:
        setSense(5, 0x20);  // ILLEGAL REQUEST, invalid command operation code
        sendData({}, 1);
        return;
    }
  }

  void finishWrite() {
    size_t n = writeBuffer_.size() < writeBytes_ ? writeBuffer_.size() : writeBytes_;
    uint8_t status = 0;
    if (n && ::pwrite(fd_, writeBuffer_.data(), n, static_cast<off_t>(writeLba_) * kBlockSize) !=
                 static_cast<ssize_t>(n)) {
      setSense(3, 0x0c);  // MEDIUM ERROR, write error
      status = 1;
    }
    const uint32_t received = static_cast<uint32_t>(writeBuffer_.size());
    if (received > writeExpected_ || writeBytes_ > writeExpected_) status = 2;
    const uint32_t residue = writeExpected_ > received ? writeExpected_ - received : 0;
    resetTransport();
    sendStatus(residue, status);
  }

  std::string file_;
  int fd_;
  uint64_t blocks_;
  uint32_t tag_ = 0;
  uint32_t transferLength_ = 0;
  bool dataIn_ = false;
  uint8_t senseKey_ = 0;
  uint8_t asc_ = 0;
  uint32_t writeLba_ = 0;
  size_t writeBytes_ = 0;
  uint32_t writeExpected_ = 0;
  std::vector<uint8_t> writeBuffer_;
};

}  // namespace

SimUsbDescriptors simUsbStorageDescriptors() {
  SimUsbDescriptors d;
  d.vendor = 0x1209;
  d.product = 0x0003;
  d.speed = SimUsbSpeed::High;
  d.iManufacturer = d.addString("Simulated Devices");
  d.iProduct = d.addString("Sim Storage");
  d.iSerial = d.addString("STOR00000001");
  SimUsbConfiguration c;
  SimUsbInterface i;
  i.interfaceClass = 8;
  i.subClass = 6;
  i.protocol = 0x50;
  SimUsbEndpoint in;
  in.address = kInEndpoint;
  in.attributes = 2;
  SimUsbEndpoint out = in;
  out.address = kOutEndpoint;
  i.endpoints = {in, out};
  c.interfaces.push_back(i);
  d.configurations.push_back(c);
  return d;
}

std::unique_ptr<SimUsbDevice> makeSimUsbStorage(SimUsbDescriptors d, const std::string& devpath,
                                                const SimUsbOptions& options, std::string* error) {
  bool ok = true;
  long long size = options.size("size", 8LL << 20, &ok);
  if (!ok || size < kBlockSize || size > (1LL << 40)) {
    *error = "bad size";
    return nullptr;
  }
  std::string file = mapPath(options.text("file", "/var/simusb/" + devpath + ".img"));
  makeSimUsbParentDirectories(file);
  int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    *error = "cannot open " + file;
    return nullptr;
  }
  struct stat st;
  if (::fstat(fd, &st) != 0 || (st.st_size < size && ::ftruncate(fd, size) != 0)) {
    ::close(fd);
    *error = "cannot size " + file;
    return nullptr;
  }
  uint64_t bytes = static_cast<uint64_t>(st.st_size > size ? st.st_size : size);
  return std::make_unique<SimUsbStorage>(std::move(d), std::move(file), fd, bytes / kBlockSize);
}
