#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "params/identity/firmwareparams.h"
#include "params/identity/identitytexts.h"
#include "params/identity/productparams.h"
#include "params/identity/softwareinfo.h"
#include "runtime/file/paths.h"
#include "support/identity_fixture.h"

namespace {

ProductParams parseProduct(const std::string& text) {
  ProductParams record;
  std::memset(&record, 0x5a, sizeof record);  // must come back cleared
  std::FILE* f = fmemopen(const_cast<char*>(text.data()), text.size(), "r");
  EXPECT_NE(f, nullptr);
  parseProductParams(f, record);
  if (f) std::fclose(f);
  return record;
}

FirmwareParams parseFirmware(const std::string& text) {
  FirmwareParams record;
  std::memset(&record, 0x5a, sizeof record);
  std::FILE* f = fmemopen(const_cast<char*>(text.data()), text.size(), "r");
  EXPECT_NE(f, nullptr);
  parseFirmwareParams(f, record);
  if (f) std::fclose(f);
  return record;
}

bool allZero(const void* p, size_t n) {
  const unsigned char* b = static_cast<const unsigned char*>(p);
  for (size_t i = 0; i < n; ++i)
    if (b[i]) return false;
  return true;
}

// A private data root per test; the device records are restored afterwards
// because other tests of this program read them.
class IdentityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    savedRoot_ = dataRoot();
    savedProduct_ = productParams();
    savedFirmware_ = firmwareParams();
    savedSoftware_ = softwareInfo();
    char pattern[] = "/tmp/identity-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    setDataRoot(root_.c_str());
  }
  void TearDown() override {
    setDataRoot(savedRoot_.c_str());
    productParams() = savedProduct_;
    firmwareParams() = savedFirmware_;
    softwareInfo() = savedSoftware_;
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
  }
  void writeFile(const std::string& fixedPath, const std::string& content) {
    std::filesystem::path p = mapPath(fixedPath);
    std::filesystem::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << content;
  }
  void loadAll() {
    readProductParams(productParams());
    readFirmwareParams(firmwareParams());
    softwareInfo() = SoftwareInfo{};
    readSoftwareInfo(softwareInfo());
  }

  std::string root_;
  std::string savedRoot_;
  ProductParams savedProduct_;
  FirmwareParams savedFirmware_;
  SoftwareInfo savedSoftware_;
};

struct FixtureCase {
  const char* name;
  uint32_t productId;
  uint32_t compatId;
  uint32_t usbPortsPhy;
  int32_t usbCount;
  uint32_t gpioHwProject;
  uint32_t phy0Addr;
  uint32_t usbtableProductId;
  uint32_t serialNo;
  const char* productName;
  bool hasSoftware;
};

// The values the fixtures' README promises.
const FixtureCase kFixtures[] = {
    {"p326", 326, 0x4, 3, 4, 271, 4, 326, 100, "myHub-4", false},
    {"p330-wlan", 330, 0x2, 1, 1, 212, 4, 330, 101, "myHub-1W", false},
    {"p332", 332, 0x88, 8, 8, 248, 4, 347, 102, "myHub-8", true},
    {"p332-7ports", 332, 0x88, 7, 8, 248, 4, 347, 103, "myHub-8", false},
    {"p345", 345, 0x90, 4, 1, 253, 4, 345, 104, "myHub-1C", false},
    {"p345-1port", 345, 0x90, 1, 1, 253, 4, 345, 105, "myHub-1C", false},
    {"p353", 353, 0xa0, 20, 20, 278, 4, 353, 106, "myHub-20D", true},
    {"p365", 365, 0x180, 2, 2, 262, 4, 365, 107, "myHub-2R", true},
    {"unknown", 999, 0x1, 2, 2, 300, 4, 0, 108, "myHub-X", false},
};

TEST_F(IdentityTest, EveryFixtureReadsAsDocumented) {
  for (const FixtureCase& c : kFixtures) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(layIdentityFixture(c.name, root_));
    if (!c.hasSoftware) std::filesystem::remove(mapPath("/flash/software.bin"));
    loadAll();
    const ProductParams& p = productParams();
    EXPECT_EQ(p.product_id, c.productId);
    EXPECT_EQ(p.compat_id, c.compatId);
    EXPECT_EQ(p.usb_ports_phy, c.usbPortsPhy);
    EXPECT_EQ(p.count_U, c.usbCount);
    EXPECT_EQ(p.printer_ports, c.usbCount);  // device_types holds only 'U'
    EXPECT_EQ(p.gpio_hw_project, c.gpioHwProject);
    EXPECT_EQ(p.phy0_addr, c.phy0Addr);
    EXPECT_EQ(p.usbtable_product_id, c.usbtableProductId);
    EXPECT_EQ(p.serial_no, c.serialNo);
    EXPECT_STREQ(p.product_name, c.productName);
    EXPECT_EQ(p.hw_project, c.productId);
    EXPECT_EQ(p.software_id, 11u);
    EXPECT_EQ(p.year, 2023u);
    EXPECT_EQ(p.month, 5u);
    EXPECT_EQ(p.ethaddr0[0], 0x02);
    EXPECT_EQ(p.ethaddr0[2], 0x5e);
    EXPECT_EQ(p.ethaddr0[5], (&c - kFixtures) + 1);
    EXPECT_EQ(p.ethaddr0[6], 0);
    EXPECT_EQ(p.network_type, c.compatId & 0x4405a02u ? 3u : 1u);

    const FirmwareParams& f = firmwareParams();
    EXPECT_EQ(f.compat_id, c.compatId);
    EXPECT_EQ(f.compat_level, 3u);
    EXPECT_EQ(f.firmware_version, 12u);
    EXPECT_EQ(f.creation_time, 1683000000u);

    const SoftwareInfo& s = softwareInfo();
    if (c.hasSoftware) {
      EXPECT_EQ(s.compat_id, c.compatId);
      EXPECT_EQ(s.compat_level, 3u);
      EXPECT_EQ(s.software_id, 11u);
      EXPECT_EQ(s.creation_time, 1685000000u);
      EXPECT_EQ(s.version, 5u);
      EXPECT_EQ(s.release, 2u);
      EXPECT_EQ(s.subrelease, 7u);
    } else {
      EXPECT_TRUE(allZero(&s, sizeof s));
    }
    std::filesystem::remove_all(root_ + "/conf.d");
    std::filesystem::remove_all(root_ + "/flash");
  }
  // Only the WLAN fixture carries a WLAN compatibility bit.
  for (const FixtureCase& c : kFixtures)
    EXPECT_EQ((c.compatId & 0x4405a02u) != 0, std::string(c.name) == "p330-wlan") << c.name;
}

TEST_F(IdentityTest, FixtureLayingRefusesUnknownOrUnsafeNames) {
  EXPECT_FALSE(layIdentityFixture("no-such-product", root_));
  EXPECT_FALSE(layIdentityFixture("../identity", root_));
  EXPECT_FALSE(layIdentityFixture("", root_));
  EXPECT_FALSE(std::filesystem::exists(root_ + "/conf.d"));
}

TEST_F(IdentityTest, MissingFilesGiveZeroRecords) {
  std::memset(&productParams(), 0x33, sizeof(ProductParams));
  std::memset(&firmwareParams(), 0x33, sizeof(FirmwareParams));
  readProductParams(productParams());
  readFirmwareParams(firmwareParams());
  EXPECT_TRUE(allZero(&productParams(), sizeof(ProductParams)));
  EXPECT_TRUE(allZero(&firmwareParams(), sizeof(FirmwareParams)));

  // A missing or short software header leaves the record as it was.
  softwareInfo() = SoftwareInfo{};
  readSoftwareInfo(softwareInfo());
  EXPECT_TRUE(allZero(&softwareInfo(), sizeof(SoftwareInfo)));
  std::string shortHeader(100, '\x7f');
  writeFile("/flash/software.bin", shortHeader);
  readSoftwareInfo(softwareInfo());
  EXPECT_TRUE(allZero(&softwareInfo(), sizeof(SoftwareInfo)));
  char text[32];
  EXPECT_EQ(getSoftwareInfoText("version", text, sizeof text), 1);
  EXPECT_STREQ(text, "0");
}

TEST(IdentityParsing, NumbersAndTexts) {
  // Hex digits without prefix under compat_id and oem_id, decimal elsewhere.
  ProductParams p = parseProduct(
      "product_id=0332\ncompat_id=0332\noem_id=ff\nproduct_name=myHub 8 = eight\n"
      "default_name=HUB-1\nhw_project=12a\nserial_no=junk\n");
  EXPECT_EQ(p.product_id, 332u);
  EXPECT_EQ(p.compat_id, 0x332u);
  EXPECT_EQ(p.oem_id, 0xffu);
  EXPECT_STREQ(p.product_name, "myHub 8 = eight");  // value runs from the first '='
  EXPECT_STREQ(p.default_name, "HUB-1");
  EXPECT_EQ(p.hw_project, 12u);
  EXPECT_EQ(p.serial_no, 0u);

  FirmwareParams f = parseFirmware("compat_id=a0\ncompat_level=7\nfirmware_version=42\ncreation_time=9\n");
  EXPECT_EQ(f.compat_id, 0xa0u);
  EXPECT_EQ(f.compat_level, 7u);
  EXPECT_EQ(f.firmware_version, 42u);
  EXPECT_EQ(f.creation_time, 9u);
}

TEST(IdentityParsing, LineRules) {
  ProductParams p = parseProduct(
      "no equals sign here\n"
      "colour=blue\n"
      "product_id=1\n"
      "product_id=2\n"                   // the last value wins
      "usb_ports_phyX=5\n"               // a key matches the line's beginning
      " phy0_addr=9\n"                   // ... and only there
      "my ethaddr0 is=00:c0:eb:01:02:03\n"  // ethaddr0 anywhere in the line
      "printer_ports=17\n"
      "x.device_types=UUUUCS\n"          // device_types anywhere, too
      "default_name=box ethaddr0 device_types\n"  // an earlier key takes the line
      "gpio_hw_project=278\n"
      "hw_major=3");                     // a last line without newline
  EXPECT_EQ(p.product_id, 2u);
  EXPECT_EQ(p.usb_ports_phy, 5u);
  EXPECT_EQ(p.phy0_addr, 0u);
  const uint8_t mac[8] = {0x00, 0xc0, 0xeb, 0x01, 0x02, 0x03, 0, 0};
  EXPECT_EQ(std::memcmp(p.ethaddr0, mac, 8), 0);
  EXPECT_STREQ(p.device_types, "UUUUCS");
  EXPECT_EQ(p.count_U, 4);
  EXPECT_EQ(p.count_C, 1);
  EXPECT_EQ(p.count_S, 1);
  EXPECT_EQ(p.count_E, 0);
  EXPECT_EQ(p.printer_ports, 6);  // the earlier printer_ports line is overwritten
  EXPECT_STREQ(p.default_name, "box ethaddr0 device_types");
  EXPECT_EQ(p.gpio_hw_project, 278u);
  EXPECT_EQ(p.hw_project, 0u);  // "gpio_hw_project" is not "hw_project"
  EXPECT_EQ(p.hw_major, 3u);

  ProductParams eight = parseProduct("ethaddr0=01:02:03:04:05:06:07:08:09\n");
  const uint8_t all[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_EQ(std::memcmp(eight.ethaddr0, all, 8), 0);
}

TEST(IdentityParsing, HostileInput) {
  // A line beyond the 1023 bytes kept: the text is cut, and the rest of the
  // line is not read as a line of its own.
  std::string longName = "product_name=" + std::string(2000, 'n') + "compat_id=ff\n";
  std::string longTypes = "device_types=" + std::string(300, 'U') + "\n";
  ProductParams p = parseProduct(longName + longTypes + "product_id=5\n");
  EXPECT_EQ(std::strlen(p.product_name), 127u);
  EXPECT_EQ(p.compat_id, 0u);
  EXPECT_EQ(p.product_id, 5u);
  EXPECT_EQ(std::strlen(p.device_types), 127u);
  EXPECT_EQ(p.count_U, 127);
  EXPECT_EQ(p.printer_ports, 127);

  // A short address does not pick up bytes of an earlier, longer line.
  ProductParams shortMac = parseProduct("zzzzzzzz=11:22:33:44:55:66:77:88\nethaddr0=aa:bb\n");
  const uint8_t mac[8] = {0xaa, 0xbb, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(std::memcmp(shortMac.ethaddr0, mac, 8), 0);

  // Numbers read as by a 32-bit strtoul.
  struct NumberCase {
    const char* line;
    uint32_t productId;
  };
  const NumberCase numbers[] = {
      {"product_id=4294967295", 0xffffffffu}, {"product_id=4294967296", 0xffffffffu},
      {"product_id=99999999999999999999999", 0xffffffffu}, {"product_id=-1", 0xffffffffu},
      {"product_id=-2", 0xfffffffeu}, {"product_id= +7", 7u}, {"product_id=--7", 0u},
      {"product_id=", 0u}, {"product_id=12abc", 12u},
  };
  for (const NumberCase& c : numbers)
    EXPECT_EQ(parseProduct(std::string(c.line) + "\n").product_id, c.productId) << c.line;

  // An embedded NUL ends the line's text but not the file.
  std::string withNul = std::string("product_name=ab\0cd\n", 19) + "product_id=8\n";
  ProductParams nul = parseProduct(withNul);
  EXPECT_STREQ(nul.product_name, "ab");
  EXPECT_EQ(nul.product_id, 8u);

  // Only newlines, only '=', an empty stream.
  const ProductParams blank = parseProduct("\n\n=\n==\n");
  EXPECT_TRUE(allZero(&blank, sizeof blank));
  const ProductParams empty = parseProduct("");
  EXPECT_TRUE(allZero(&empty, sizeof empty));
}

TEST(IdentityParsing, SoftwareHeaderDecoding) {
  unsigned char header[160] = {};
  const uint32_t words[] = {0x11223344, 3, 11, 1685000000, 5, 2, 7};  // offsets 16..40
  for (int w = 0; w < 7; ++w)
    for (int b = 0; b < 4; ++b) header[16 + 4 * w + b] = static_cast<unsigned char>(words[w] >> (24 - 8 * b));
  SoftwareInfo s{};
  EXPECT_FALSE(decodeSoftwareInfo(header, 127, s));
  EXPECT_FALSE(decodeSoftwareInfo(nullptr, 128, s));
  EXPECT_TRUE(allZero(&s, sizeof s));
  ASSERT_TRUE(decodeSoftwareInfo(header, sizeof header, s));
  EXPECT_EQ(s.compat_id, 0x11223344u);
  EXPECT_EQ(s.compat_level, 3u);
  EXPECT_EQ(s.software_id, 11u);
  EXPECT_EQ(s.creation_time, 1685000000u);
  EXPECT_EQ(s.version, 5u);
  EXPECT_EQ(s.release, 2u);
  EXPECT_EQ(s.subrelease, 7u);
}

TEST_F(IdentityTest, TemplateTexts) {
  ASSERT_TRUE(layIdentityFixture("p332", root_));
  loadAll();
  productParams().compat_id = 0x80000001;  // shown with "%d"

  struct TextCase {
    int (*get)(const char*, char*, size_t);
    const char* key;
    const char* text;
  };
  const TextCase cases[] = {
      {getProductInfoText, "product_id", "332"},
      {getProductInfoText, "compat_id", "-2147483647"},
      {getProductInfoText, "oem_id", "0"},
      {getProductInfoText, "product_name", "myHub-8"},
      {getProductInfoText, "product_icon", "myHub-8"},
      {getProductInfoText, "default_name", "HUB-33203"},
      {getProductInfoText, "year", "2023"},
      {getProductInfoText, "month", "5"},
      {getProductInfoText, "serial_no", "102"},
      {getProductInfoText, "creation_time", "1684000000"},
      {getProductInfoText, "hw_project", "332"},
      {getProductInfoText, "usb_ports_phy", "8"},
      {getProductInfoText, "hw_major", "1"},
      {getProductInfoText, "hw_minor", "2"},
      {getProductInfoText, "hw_address", "02:00:5e:03:20:03"},
      {getProductInfoText, "gpio_hw_project", " -- 2Do --"},
      {getProductInfoText, "Product_id", " -- 2Do --"},
      {getSoftwareInfoText, "compat_id", "136"},
      {getSoftwareInfoText, "compat_level", "3"},
      {getSoftwareInfoText, "version", "5"},
      {getSoftwareInfoText, "release", "2"},
      {getSoftwareInfoText, "subrelease", "7"},
      {getSoftwareInfoText, "creation_time", "1685000000"},
      {getSoftwareInfoText, "software_id", " -- 2Do --"},
      {getFirmwareInfoText, "firmware_version", "12"},
      {getFirmwareInfoText, "compat_id", "136"},
      {getFirmwareInfoText, "compat_level", "3"},
      {getFirmwareInfoText, "creation_time", "1683000000"},
      {getFirmwareInfoText, "version", " -- 2Do --"},
  };
  for (const TextCase& c : cases) {
    char text[64];
    std::memset(text, 'x', sizeof text);
    int n = c.get(c.key, text, sizeof text);
    EXPECT_STREQ(text, c.text) << c.key;
    EXPECT_EQ(n, static_cast<int>(std::strlen(c.text))) << c.key;
  }

  // Cut to the buffer, the result still the full length; no buffer at all.
  char small[4];
  EXPECT_EQ(getProductInfoText("hw_address", small, sizeof small), 17);
  EXPECT_STREQ(small, "02:");
  EXPECT_EQ(getProductInfoText("product_name", nullptr, 0), 7);
  EXPECT_EQ(getProductInfoText("product_name", nullptr, 100), 7);
  EXPECT_EQ(getFirmwareInfoText(nullptr, small, sizeof small), 10);
}

TEST_F(IdentityTest, UppercaseAddressIsShownInLowerCase) {
  writeFile("/conf.d/product_params", "ethaddr0=00:C0:EB:0A:BC:DE\n");
  readProductParams(productParams());
  char text[32];
  getProductInfoText("hw_address", text, sizeof text);
  EXPECT_STREQ(text, "00:c0:eb:0a:bc:de");
}

}  // namespace
