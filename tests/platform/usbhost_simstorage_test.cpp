// The simulated mass-storage device through usbfs URBs: bulk-only
// transport wrappers and the SCSI commands a host driver uses.
#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/support/usbhosttest.h"

namespace {

constexpr uint8_t kBulk = USBDEVFS_URB_TYPE_BULK;
constexpr uint8_t kIn = 0x81;
constexpr uint8_t kOut = 0x02;

struct Status {
  uint32_t tag = 0;
  uint32_t residue = 0;
  int status = -1;
};

class SimUsbStorage : public SimUsbHostTest {
 protected:
  void SetUp() override {
    SimUsbHostTest::SetUp();
    ASSERT_EQ(host_->plug("1-1", "storage size=64K"), 1);
    fd_ = openPlugged("1-1");
    ASSERT_GE(fd_, 0);
  }
  void TearDown() override {
    host_->closeDevice(fd_);
    SimUsbHostTest::TearDown();
  }

  // Sends a command block wrapper; false when the transfer fails.
  bool sendCommand(const std::vector<uint8_t>& cb, uint32_t length, bool in) {
    uint8_t cbw[31] = {'U', 'S', 'B', 'C'};
    ++tag_;
    std::memcpy(cbw + 4, &tag_, 4);
    std::memcpy(cbw + 8, &length, 4);
    cbw[12] = in ? 0x80 : 0;
    cbw[14] = static_cast<uint8_t>(cb.size());
    std::memcpy(cbw + 15, cb.data(), cb.size());
    int actual = 0;
    return transfer(fd_, kBulk, kOut, cbw, sizeof cbw, &actual) == 0 && actual == 31;
  }

  Status readStatus() {
    uint8_t csw[13] = {};
    int actual = 0;
    Status s;
    if (transfer(fd_, kBulk, kIn, csw, sizeof csw, &actual) != 0 || actual != 13 ||
        std::memcmp(csw, "USBS", 4) != 0)
      return s;
    std::memcpy(&s.tag, csw + 4, 4);
    std::memcpy(&s.residue, csw + 8, 4);
    s.status = csw[12];
    return s;
  }

  // A whole IN command: the data received and the status.
  Status inCommand(const std::vector<uint8_t>& cb, uint32_t length, std::vector<uint8_t>* data) {
    if (!sendCommand(cb, length, true)) return Status();
    data->assign(length, 0);
    if (length) {
      int actual = 0;
      if (transfer(fd_, kBulk, kIn, data->data(), static_cast<int>(length), &actual) != 0) return Status();
      data->resize(static_cast<size_t>(actual));
    }
    return readStatus();
  }

  static std::vector<uint8_t> readWrite10(uint8_t op, uint32_t lba, uint16_t blocks) {
    return {op, 0, static_cast<uint8_t>(lba >> 24), static_cast<uint8_t>(lba >> 16), static_cast<uint8_t>(lba >> 8),
            static_cast<uint8_t>(lba), 0, static_cast<uint8_t>(blocks >> 8), static_cast<uint8_t>(blocks), 0};
  }

  int fd_ = -1;
  uint32_t tag_ = 0x100;
};

TEST_F(SimUsbStorage, ClassRequestsAnswer) {
  uint8_t lun = 0xff;
  EXPECT_EQ(host_->control(fd_, 0xa1, 0xfe, 0, 0, &lun, 1, 1000), 1);
  EXPECT_EQ(lun, 0);
  EXPECT_EQ(host_->control(fd_, 0x21, 0xff, 0, 0, nullptr, 0, 1000), 0);
}

TEST_F(SimUsbStorage, InquiryCapacityAndUnitReady) {
  std::vector<uint8_t> data;
  Status s = inCommand({0x12, 0, 0, 0, 36, 0}, 36, &data);
  EXPECT_EQ(s.status, 0);
  EXPECT_EQ(s.tag, tag_);
  EXPECT_EQ(s.residue, 0u);
  ASSERT_EQ(data.size(), 36u);
  EXPECT_EQ(data[0], 0);     // direct access
  EXPECT_EQ(data[1], 0x80);  // removable
  EXPECT_EQ(std::string(data.begin() + 8, data.begin() + 16), "SIMUSB  ");

  s = inCommand({0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 8, &data);
  EXPECT_EQ(s.status, 0);
  ASSERT_EQ(data.size(), 8u);
  EXPECT_EQ(data[0] << 24 | data[1] << 16 | data[2] << 8 | data[3], 127);  // last block of 64K
  EXPECT_EQ(data[4] << 24 | data[5] << 16 | data[6] << 8 | data[7], 512);

  s = inCommand({0x00, 0, 0, 0, 0, 0}, 0, &data);
  EXPECT_EQ(s.status, 0);

  // Asked for more than there is: a short data stage and the residue.
  s = inCommand({0x12, 0, 0, 0, 36, 0}, 96, &data);
  EXPECT_EQ(s.status, 0);
  EXPECT_EQ(data.size(), 36u);
  EXPECT_EQ(s.residue, 60u);
}

TEST_F(SimUsbStorage, ReadsAndWritesTheBackingFile) {
  const std::string file = host_->storageFile("1-1");
  ASSERT_FALSE(file.empty());
  int f = ::open(file.c_str(), O_RDWR);
  ASSERT_GE(f, 0);
  std::vector<uint8_t> block(1024);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i * 3);
  ASSERT_EQ(::pwrite(f, block.data(), block.size(), 5 * 512), 1024);

  std::vector<uint8_t> data;
  Status s = inCommand(readWrite10(0x28, 5, 2), 1024, &data);
  EXPECT_EQ(s.status, 0);
  EXPECT_EQ(data, block);

  std::vector<uint8_t> written(512, 0x5a);
  ASSERT_TRUE(sendCommand(readWrite10(0x2a, 9, 1), 512, false));
  int actual = 0;
  ASSERT_EQ(transfer(fd_, kBulk, kOut, written.data(), 512, &actual), 0);
  s = readStatus();
  EXPECT_EQ(s.status, 0);
  EXPECT_EQ(s.residue, 0u);
  std::vector<uint8_t> back(512);
  ASSERT_EQ(::pread(f, back.data(), back.size(), 9 * 512), 512);
  EXPECT_EQ(back, written);
  ::close(f);
}

TEST_F(SimUsbStorage, ErrorsAreReportedThroughSense) {
  std::vector<uint8_t> data;
  // Past the last block: CHECK CONDITION, then ILLEGAL REQUEST / LBA out of range.
  Status s = inCommand(readWrite10(0x28, 127, 2), 1024, &data);
  EXPECT_EQ(s.status, 1);
  EXPECT_TRUE(data.empty());
  EXPECT_EQ(s.residue, 1024u);
  s = inCommand({0x03, 0, 0, 0, 18, 0}, 18, &data);
  EXPECT_EQ(s.status, 0);
  ASSERT_EQ(data.size(), 18u);
  EXPECT_EQ(data[2], 5);
  EXPECT_EQ(data[12], 0x21);
  // The sense is given once.
  s = inCommand({0x03, 0, 0, 0, 18, 0}, 18, &data);
  EXPECT_EQ(data[2], 0);

  s = inCommand({0xff, 0, 0, 0, 0, 0}, 0, &data);  // unknown operation
  EXPECT_EQ(s.status, 1);
  s = inCommand({0x03, 0, 0, 0, 18, 0}, 18, &data);
  EXPECT_EQ(data[12], 0x20);
}

TEST_F(SimUsbStorage, InvalidWrapperHaltsBothEndpoints) {
  uint8_t junk[31] = {'X'};
  int actual = 0;
  ASSERT_EQ(transfer(fd_, kBulk, kOut, junk, sizeof junk, &actual), 0);
  uint8_t csw[13];
  EXPECT_EQ(transfer(fd_, kBulk, kIn, csw, sizeof csw, &actual), -EPIPE);
  EXPECT_EQ(transfer(fd_, kBulk, kOut, junk, sizeof junk, &actual), -EPIPE);
  // Reset recovery: mass storage reset, then clear both halts.
  EXPECT_EQ(host_->control(fd_, 0x21, 0xff, 0, 0, nullptr, 0, 1000), 0);
  EXPECT_EQ(host_->clearHalt(fd_, kIn), 0);
  EXPECT_EQ(host_->clearHalt(fd_, kOut), 0);
  std::vector<uint8_t> data;
  EXPECT_EQ(inCommand({0x00, 0, 0, 0, 0, 0}, 0, &data).status, 0);
}

}  // namespace
