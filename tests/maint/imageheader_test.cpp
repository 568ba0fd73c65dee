#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "maint/imagecrc.h"
#include "maint/imageheader.h"
#include "maint/updateprecheck.h"
#include "maint/updatestatus.h"
#include "params/identity/firmwareparams.h"
#include "params/identity/productparams.h"

namespace {

uint32_t bitwiseCrc(const std::string& data) {
  uint32_t crc = 0;
  for (unsigned char b : data) {
    crc ^= b;
    for (int i = 0; i < 8; ++i) crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
  }
  return crc;
}

TEST(ImageCrc, KnownValuesAndRunningUse) {
  EXPECT_EQ(imageCrcUpdate(0, "abc", 3), 0xCA6598D0u);
  EXPECT_EQ(imageCrcUpdate(0, "", 0), 0u);
  EXPECT_EQ(imageCrcUpdate(0, nullptr, 10), 0u);
  // The same table with the usual inversions gives the common CRC-32.
  EXPECT_EQ(imageCrcUpdate(0xFFFFFFFFu, "abc", 3) ^ 0xFFFFFFFFu, 0x352441C2u);
  EXPECT_EQ(imageCrcUpdate(0xFFFFFFFFu, "123456789", 9) ^ 0xFFFFFFFFu, 0xCBF43926u);

  std::string data;
  for (int i = 0; i < 70000; ++i) data.push_back(static_cast<char>((i * 131 + (i >> 7)) & 0xFF));
  uint32_t whole = imageCrcUpdate(0, data.data(), data.size());
  EXPECT_EQ(whole, bitwiseCrc(data));
  uint32_t pieces = 0;
  for (size_t at = 0; at < data.size(); at += 16384)
    pieces = imageCrcUpdate(pieces, data.data() + at, std::min<size_t>(16384, data.size() - at));
  EXPECT_EQ(pieces, whole);
}

TEST(ImageHeaderLayout, ConstructionAndFields) {
  ImageHeader empty;
  for (size_t i = 0; i < ImageHeader::kSize; ++i) ASSERT_EQ(empty.bytes()[i], 0) << i;
  EXPECT_FALSE(empty.hasValidMagic());

  ImageHeader fw(ImageHeader::kMagic, ImageHeader::kTypeFirmware);
  EXPECT_EQ(std::memcmp(fw.bytes(), "NVRWfw\0\0", 8), 0);
  EXPECT_TRUE(fw.hasValidMagic());

  ImageHeader h;
  const size_t offsets[] = {ImageHeader::kCrcOffset,          ImageHeader::kLengthOffset,
                            ImageHeader::kCompatOffset,       ImageHeader::kLevelOffset,
                            ImageHeader::kSoftwareIdOffset,   ImageHeader::kCreationTimeOffset,
                            ImageHeader::kVersionOffset,      ImageHeader::kReleaseOffset,
                            ImageHeader::kSubreleaseOffset};
  for (size_t i = 0; i < sizeof offsets / sizeof offsets[0]; ++i) h.setWord(offsets[i], 0x01020300u + i);
  EXPECT_EQ(h.bytes()[8], 0x01);  // most significant byte first
  EXPECT_EQ(h.bytes()[11], 0x00);
  EXPECT_EQ(h.crc(), 0x01020300u);
  EXPECT_EQ(h.length(), 0x01020301u);
  EXPECT_EQ(h.compat(), 0x01020302u);
  EXPECT_EQ(h.level(), 0x01020303u);
  EXPECT_EQ(h.softwareId(), 0x01020304u);
  EXPECT_EQ(h.creationTime(), 0x01020305u);
  EXPECT_EQ(h.version(), 0x01020306u);
  EXPECT_EQ(h.release(), 0x01020307u);
  EXPECT_EQ(h.subrelease(), 0x01020308u);
  // Words that would run past the header are neither read nor written.
  h.setWord(125, 0xFFFFFFFFu);
  EXPECT_EQ(h.word(125), 0u);
  EXPECT_EQ(h.word(124), 0u);
  EXPECT_EQ(h.bytes()[127], 0);
}

// Private data root per test plus saved identity records and update status.
class UpdateFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    savedProduct_ = productParams();
    savedFirmware_ = firmwareParams();
    productParams().compat_id = 0x88;
    productParams().software_id = 11;
    firmwareParams().compat_level = 3;
    char pattern[] = "/tmp/imageheader-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    resetUpdateStatus();
  }
  void TearDown() override {
    productParams() = savedProduct_;
    firmwareParams() = savedFirmware_;
    resetUpdateStatus();
    for (int fd : fds_) ::close(fd);
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  // An open descriptor of a new file holding the bytes.
  int fileWith(const std::string& bytes, int flags = O_RDONLY) {
    std::string path = dir_ + "/image" + std::to_string(fds_.size());
    int w = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    EXPECT_GE(w, 0);
    EXPECT_EQ(::write(w, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    ::close(w);
    int fd = ::open(path.c_str(), flags);
    EXPECT_GE(fd, 0);
    fds_.push_back(fd);
    return fd;
  }
  static std::string imageBytes(const ImageHeader& h, size_t payload) {
    return std::string(reinterpret_cast<const char*>(h.bytes()), ImageHeader::kSize) + std::string(payload, 'p');
  }

  std::string dir_;
  std::vector<int> fds_;
  ProductParams savedProduct_;
  FirmwareParams savedFirmware_;
};

struct CompatCase {
  const char* what;
  const char magicAndType[8];
  uint32_t compat;
  uint32_t level;
  uint32_t softwareId;
  int result;
  const char* text;
  const char* diagnostic;
};

TEST_F(UpdateFileTest, CompatibilityTable) {
  // Device: compat id 0x88, software id 11, firmware compat level 3.
  const CompatCase cases[] = {
      {"foreign magic", {'N', 'V', 'R', 'X', 'f', 'w', 0, 0}, 0x88, 3, 0, 255, "incompatible", ""},
      {"fw, more bits, equal level", {'N', 'V', 'R', 'W', 'f', 'w', 0, 0}, 0x188, 3, 0, 0, "firmware 188.3", ""},
      {"fw, higher level", {'N', 'V', 'R', 'W', 'f', 'w', 0, 0}, 0x88, 4, 0, 0, "firmware 88.4", ""},
      {"fw, level compared unsigned", {'N', 'V', 'R', 'W', 'f', 'w', 0, 0}, 0x88, 0xFFFFFFFFu, 0, 0,
       "firmware 88.-1", ""},
      {"fw, a product bit missing", {'N', 'V', 'R', 'W', 'f', 'w', 0, 0}, 0x108, 3, 0, 255,
       "incompatible firmware id", "invalid compat_id:00000108 (product:00000088)\n"},
      {"fw, lower level", {'N', 'V', 'R', 'W', 'f', 'w', 0, 0}, 0x88, 2, 0, 255, "incompatible firmware level",
       "invalid compat_level:2 (firmware:3)\n"},
      {"sw, accepted", {'N', 'V', 'R', 'W', 's', 'w', 0, 0}, 0xff, 0, 11, 0, "Software: ff.11 Version: 5.2.7", ""},
      {"sw, a product bit missing", {'N', 'V', 'R', 'W', 's', 'w', 0, 0}, 0x80, 0, 11, 255,
       "incompatible software/product id", ""},
      {"sw, other software id", {'N', 'V', 'R', 'W', 's', 'w', 0, 0}, 0x88, 0, 12, 255, "incompatible software id", ""},
      {"serb", {'N', 'V', 'R', 'W', 's', 'e', 'r', 'b'}, 0, 0, 0, 0, "serboard", ""},
      {"fpga", {'N', 'V', 'R', 'W', 'f', 'p', 'g', 'a'}, 0, 0, 0, 0, "fpga image info not supported", ""},
      {"abcd", {'N', 'V', 'R', 'W', 'a', 'b', 'c', 'd'}, 0x88, 3, 11, 255, "incompatible type:1633837924", ""},
      {"fw with a fourth byte", {'N', 'V', 'R', 'W', 'f', 'w', 0, 'x'}, 0x88, 3, 11, 255,
       "incompatible type:1719074936", ""},
      {"negative type", {'N', 'V', 'R', 'W', '\xff', '\xff', '\xff', '\xfe'}, 0x88, 3, 11, 255,
       "incompatible type:-2", ""},
  };
  for (const CompatCase& c : cases) {
    ImageHeader h;
    std::memcpy(h.bytes(), c.magicAndType, 8);
    h.setWord(ImageHeader::kCompatOffset, c.compat);
    h.setWord(ImageHeader::kLevelOffset, c.level);
    h.setWord(ImageHeader::kSoftwareIdOffset, c.softwareId);
    h.setWord(ImageHeader::kVersionOffset, 5);
    h.setWord(ImageHeader::kReleaseOffset, 2);
    h.setWord(ImageHeader::kSubreleaseOffset, 7);
    char text[kUpdateStatusTextSize];
    std::memset(text, 'x', sizeof text);
    testing::internal::CaptureStderr();
    int result = h.checkCompatibility(text, sizeof text);
    std::string diagnostic = testing::internal::GetCapturedStderr();
    EXPECT_EQ(result, c.result) << c.what;
    EXPECT_STREQ(text, c.text) << c.what;
    EXPECT_EQ(diagnostic, c.diagnostic) << c.what;
  }
}

TEST_F(UpdateFileTest, CompatibilityTextIsCutToItsBuffer) {
  ImageHeader h(ImageHeader::kMagic, ImageHeader::kTypeFpga);
  char text[8];
  EXPECT_EQ(h.checkCompatibility(text, sizeof text), 0);
  EXPECT_STREQ(text, "fpga im");
  EXPECT_EQ(h.checkCompatibility(nullptr, 0), 0);
  ImageHeader other(ImageHeader::kMagic, 0x61626364);
  EXPECT_EQ(other.checkCompatibility(nullptr, 64), 255);

  // A device without compat bits accepts every compat field.
  productParams().compat_id = 0;
  ImageHeader fw(ImageHeader::kMagic, ImageHeader::kTypeFirmware);
  fw.setWord(ImageHeader::kLevelOffset, 3);
  char full[64];
  EXPECT_EQ(fw.checkCompatibility(full, sizeof full), 0);
  EXPECT_STREQ(full, "firmware 0.3");
}

TEST_F(UpdateFileTest, HeaderReadFromShortAndUnreadableFiles) {
  ImageHeader h;
  EXPECT_EQ(h.readFrom(fileWith(std::string(100, 'a'))), 100);
  EXPECT_EQ(h.readFrom(fileWith(std::string(300, 'b'))), 128);
  EXPECT_EQ(h.bytes()[127], 'b');
  EXPECT_EQ(h.readFrom(fileWith("", O_WRONLY)), -1);
}

struct PrecheckCase {
  const char* what;
  const char* magic;
  uint32_t length;
  size_t payload;  // bytes after the header
  size_t cut;      // bytes of the file kept (0: all)
  int result;
};

TEST_F(UpdateFileTest, PrecheckResults) {
  const PrecheckCase cases[] = {
      {"exact size", "NVRW", 100, 100, 0, 0},
      {"more than the payload", "NVRW", 100, 150, 0, 0},
      {"empty payload", "NVRW", 0, 0, 0, 0},
      {"payload one byte short", "NVRW", 100, 99, 0, -11},
      {"largest length", "NVRW", 0xFFFFFFFFu, 10, 0, -11},
      {"header cut", "NVRW", 0, 0, 127, -10},
      {"empty file", "NVRW", 0, 0, 1, -10},
      {"foreign magic", "NVRX", 10, 10, 0, -12},
      {"size checked before magic", "NVRX", 10, 9, 0, -11},
  };
  for (const PrecheckCase& c : cases) {
    ImageHeader h(0, ImageHeader::kTypeSoftware);
    std::memcpy(h.bytes(), c.magic, 4);
    h.setWord(ImageHeader::kLengthOffset, c.length);
    std::string bytes = imageBytes(h, c.payload);
    if (c.cut) bytes.resize(c.cut == 1 ? 0 : c.cut);
    int fd = fileWith(bytes);
    ::lseek(fd, 7, SEEK_SET);  // the check reads from the start whatever the position
    updateState = UPDATE_ERROR;
    updateResultCode = 7;
    updateProgress = 40;
    setUpdateStatusText("CRC error");
    EXPECT_EQ(precheckUpdateFile(fd), c.result) << c.what;
    // The status is reset before the file is looked at.
    EXPECT_EQ(updateState.load(), UPDATE_IDLE) << c.what;
    EXPECT_EQ(updateResultCode.load(), 0) << c.what;
    EXPECT_EQ(updateProgress.load(), 0) << c.what;
    EXPECT_EQ(updateStatusText(), "") << c.what;
    if (c.result == 0) {
      EXPECT_EQ(::lseek(fd, 0, SEEK_CUR), 128) << c.what;
    }
  }
}

TEST_F(UpdateFileTest, PrecheckRefusalsLeaveTheStatusAlone) {
  ImageHeader h(ImageHeader::kMagic, ImageHeader::kTypeFirmware);
  int fd = fileWith(imageBytes(h, 0));
  for (int state = UPDATE_IDLE; state <= UPDATE_RESTART + 1; ++state) {
    updateState = state;
    updateResultCode = 255;
    updateProgress = 55;
    setUpdateStatusText("firmware 88.3");
    int expected = state > UPDATE_ERROR ? -7 : 0;
    EXPECT_EQ(precheckUpdateFile(fd), expected) << state;
    if (expected == -7) {
      EXPECT_EQ(updateState.load(), state);
      EXPECT_EQ(updateResultCode.load(), 255);
      EXPECT_EQ(updateProgress.load(), 55);
      EXPECT_EQ(updateStatusText(), "firmware 88.3");
    }
  }
  // No descriptor: refused before the status is looked at.
  for (int bad : {0, -1, -100}) {
    updateState = UPDATE_ERROR;
    setUpdateStatusText("kept");
    EXPECT_EQ(precheckUpdateFile(bad), -9);
    EXPECT_EQ(updateState.load(), UPDATE_ERROR);
    EXPECT_EQ(updateStatusText(), "kept");
  }
  // A descriptor that cannot be read reads as a short header.
  updateState = UPDATE_IDLE;
  EXPECT_EQ(precheckUpdateFile(fileWith(imageBytes(h, 0), O_WRONLY)), -10);
}

TEST(UpdateStatus, TextIsBoundedAndReadWhole) {
  resetUpdateStatus();
  setUpdateStatusText(std::string(300, 'z').c_str());
  EXPECT_EQ(updateStatusText(), std::string(kUpdateStatusTextSize - 1, 'z'));
  setUpdateStatusText(nullptr);
  EXPECT_EQ(updateStatusText(), "");

  // Readers on other threads see one whole text or the other, never a mix.
  const std::string a(100, 'a');
  const std::string b = "incompatible firmware id";
  std::atomic<bool> stop{false};
  std::atomic<int> torn{0};
  std::thread writer([&] {
    for (int i = 0; i < 20000; ++i) setUpdateStatusText((i & 1) ? a.c_str() : b.c_str());
    stop = true;
  });
  std::thread reader([&] {
    while (!stop) {
      std::string t = updateStatusText();
      if (!t.empty() && t != a && t != b) ++torn;
    }
  });
  writer.join();
  reader.join();
  EXPECT_EQ(torn.load(), 0);
  resetUpdateStatus();
  EXPECT_EQ(updateState.load(), UPDATE_IDLE);
}

}  // namespace
