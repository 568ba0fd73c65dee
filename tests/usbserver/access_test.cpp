// The per-port access rules on their own: access-key answers and payloads,
// the device filter, VLAN visibility, the card-reader port and the kept
// answers of each connection.
#include <gtest/gtest.h>
#include <openssl/des.h>
#include <openssl/sha.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "params/identity/productparams.h"
#include "params/store/paramstore.h"
#include "params/types/parambase.h"
#include "params/types/stringparam.h"
#include "tools/usbclientlib.h"
#include "usbserver/access/accesscontrol.h"
#include "usbserver/access/accesskey.h"
#include "usbserver/devices/portpower.h"
#include "usbserver/devices/usbdevicetable.h"

namespace {

// Sets parameters for one test and puts the old values back.
class ParamScope {
 public:
  ~ParamScope() {
    for (const auto& [key, value] : saved_) {
      Param* p = paramStore.find(key.c_str());
      if (!p) continue;
      if (StringParam* s = paramStore.findString(key.c_str()); s && volatile_.count(key)) s->setStatusValue(value.c_str());
      else p->set(value.c_str());
    }
  }
  void set(const std::string& key, const std::string& value) {
    Param* p = paramStore.find(key.c_str());
    ASSERT_NE(nullptr, p) << key;
    if (!saved_.count(key)) saved_[key] = p->savedText();
    ASSERT_NE(0, p->set(value.c_str())) << key << "=" << value;
  }
  // Read-only row parameters the program itself writes.
  void setStatus(const std::string& key, const std::string& value) {
    StringParam* p = paramStore.findString(key.c_str());
    ASSERT_NE(nullptr, p) << key;
    if (!saved_.count(key)) saved_[key] = p->getText();
    volatile_[key] = true;
    p->setStatusValue(value.c_str());
  }

 private:
  std::map<std::string, std::string> saved_;
  std::map<std::string, bool> volatile_;
};

std::vector<uint8_t> payload(const std::vector<usbclient::PortKey>& keys, uint32_t challenge, bool sha1) {
  return usbclient::keyPayload(keys, challenge, sha1);
}

}  // namespace

TEST(AccessKeyPayload, FormatsAndLengths) {
  struct Case {
    std::vector<uint8_t> bytes;
    int wellFormed;
    int sha1;
  };
  auto make = [](const char* magic, int count, size_t length) {
    std::vector<uint8_t> p(length > 4 ? length : 4, 0);
    std::memcpy(p.data(), magic, 3);
    p[3] = static_cast<uint8_t>(count);
    p.resize(length);
    return p;
  };
  const Case cases[] = {
      {make("ORV", 0, 4), 1, 0},     {make("ORV", 2, 28), 1, 0},   {make("ORv", 1, 26), 1, 1},
      {make("ORv", 20, 444), 1, 1},  {make("ORV", 2, 27), 0, 0},   {make("ORv", 1, 16), 0, 0},
      {make("ORW", 1, 16), 0, 0},    {make("XRV", 1, 16), 0, 0},   {make("ORV", 40, 484), 0, 0},
      {make("ORV", 1, 3), 0, 0},
  };
  for (const Case& c : cases) {
    int sha1 = -1;
    EXPECT_EQ(c.wellFormed, parseAccessKeyPayload(c.bytes.data(), static_cast<int>(c.bytes.size()), &sha1))
        << c.bytes.size();
    if (c.wellFormed) {
      EXPECT_EQ(c.sha1, sha1);
    }
  }
  EXPECT_EQ(0, parseAccessKeyPayload(nullptr, 0, nullptr));
}

TEST(AccessKeyAnswer, SaltAndTextComeFromTheChallenge) {
  // Challenge 0x12345678: the DES salt is B64[0x6a & 63] B64[0x62 & 63] =
  // "qi"; the SHA-1 text starts with B64[0x12] B64[0x34 & 63]
  // B64[0x56 & 63] B64[0x78 & 63] = "S0W4".
  uint8_t answer[11];
  cryptAnswerForKey("open-up", 0x12345678, answer);
  char full[14] = {};
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  DES_fcrypt("open-up", "qi", full);
#pragma GCC diagnostic pop
  EXPECT_EQ(0, std::memcmp(answer, full + 2, 11));

  uint8_t digest[20];
  sha1AnswerForKey("open-up", 0x12345678, digest);
  uint8_t expected[20];
  const char text[] = "S0W4open-up";
  SHA1(reinterpret_cast<const unsigned char*>(text), sizeof text - 1, expected);
  EXPECT_EQ(0, std::memcmp(digest, expected, 20));
}

TEST(AccessKeyAnswer, PortAnswersNeedAKeyedPort) {
  ParamScope params;
  uint8_t answer[20];
  params.set("zov_accctrl_4", "---");
  params.set("zov_keyval_4", "k4");
  EXPECT_EQ(0, computePortKeyCryptAnswer(4, 1, answer));
  EXPECT_EQ(0, isPortKeyed(4));
  params.set("zov_accctrl_4", "ids");
  EXPECT_EQ(0, computePortKeySha1Answer(4, 1, answer));
  for (const char* mode : {"key", "keyids"}) {
    params.set("zov_accctrl_4", mode);
    EXPECT_EQ(1, isPortKeyed(4)) << mode;
    ASSERT_EQ(1, computePortKeySha1Answer(4, 99, answer));
    uint8_t expected[20];
    sha1AnswerForKey("k4", 99, expected);
    EXPECT_EQ(0, std::memcmp(answer, expected, 20));
  }
  params.set("zov_keyval_4", "");
  EXPECT_EQ(0, isPortKeyed(4));  // a key mode without a key leaves the port open
  EXPECT_EQ(0, computePortKeyCryptAnswer(4, 1, answer));
  EXPECT_EQ(0, isPortKeyed(0));
  EXPECT_EQ(0, isPortKeyed(21));
}

TEST(AccessKeyCheck, RecordsDecidePerPort) {
  ParamScope params;
  params.set("zov_accctrl_5", "key");
  params.set("zov_keyval_5", "five");
  params.set("zov_accctrl_6", "---");
  const uint32_t c = 0xCAFEF00D;
  struct Case {
    const char* name;
    std::vector<usbclient::PortKey> keys;
    bool sha1;
    uint32_t challenge;
    int port5;
  };
  const Case cases[] = {
      {"right DES", {{5, "five"}}, false, c, 1},
      {"right SHA-1", {{5, "five"}}, true, c, 1},
      {"other challenge", {{5, "five"}}, true, c + 1, 0},
      {"wrong key", {{5, "fivE"}}, true, c, 0},
      {"no record for the port", {{6, "five"}}, false, c, 0},
      {"first record decides", {{5, "x"}, {5, "five"}}, false, c, 0},
      {"no records", {}, false, c, 0},
  };
  for (const Case& k : cases) {
    const std::vector<uint8_t> p = payload(k.keys, k.challenge, k.sha1);
    EXPECT_EQ(k.port5, checkAccessKeyAnswers(5, c, k.sha1, p.data(), static_cast<int>(p.size()))) << k.name;
    EXPECT_EQ(1, checkAccessKeyAnswers(6, c, k.sha1, p.data(), static_cast<int>(p.size()))) << k.name;
  }
  EXPECT_EQ(0, checkAccessKeyAnswers(5, c, 0, nullptr, 0));
  EXPECT_EQ(1, checkAccessKeyAnswers(6, c, 0, nullptr, 0));

  // 21 records: every keyed port is refused, even with its right answer.
  std::vector<usbclient::PortKey> many(21, usbclient::PortKey{9, "x"});
  many[0] = {5, "five"};
  const std::vector<uint8_t> p = payload(many, c, false);
  EXPECT_EQ(0, checkAccessKeyAnswers(5, c, 0, p.data(), static_cast<int>(p.size())));
  EXPECT_EQ(1, checkAccessKeyAnswers(6, c, 0, p.data(), static_cast<int>(p.size())));
}

TEST(AccessKeyCheck, KeptAnswersAreCheckedAgainstTheKeyInForce) {
  ParamScope params;
  params.set("zov_accctrl_5", "key");
  params.set("zov_keyval_5", "five");
  UsbKeyAnswers kept;
  const std::vector<uint8_t> p = payload({{5, "five"}}, 4242, true);
  std::memcpy(kept.payload, p.data(), p.size());
  kept.length = static_cast<uint16_t>(p.size());
  kept.sha1 = 1;
  kept.challenge = 4242;
  EXPECT_EQ(0, checkKeptAccessKeyAnswers(5, kept));  // not marked valid: no answers
  kept.valid = 1;
  EXPECT_EQ(1, checkKeptAccessKeyAnswers(5, kept));
  params.set("zov_keyval_5", "new-five");
  EXPECT_EQ(0, checkKeptAccessKeyAnswers(5, kept));
}

TEST(AccessKeyCheck, KeptAnswersBelongToLiveConnectionsOnly) {
  UsbKeyAnswers a;
  a.valid = 1;
  a.challenge = 7;
  // Ids of no registered task: kept until another connection keeps its own.
  keepUsbKeyAnswers(-100, a);
  UsbKeyAnswers out;
  ASSERT_EQ(1, keptUsbKeyAnswers(-100, &out));
  EXPECT_EQ(7u, out.challenge);
  keepUsbKeyAnswers(-101, a);
  EXPECT_EQ(0, keptUsbKeyAnswers(-100, &out));
  EXPECT_EQ(1, keptUsbKeyAnswers(-101, &out));
  forgetUsbKeyAnswers(-101);
  EXPECT_EQ(0, keptUsbKeyAnswers(-101, &out));
}

TEST(AccessDeviceFilter, VendorProductMustOccurInTheList) {
  ParamScope params;
  const int row = 0;
  params.setStatus("usb_vendid_1", "046d");
  params.setStatus("usb_prodid_1", "c52b");
  struct Case {
    const char* mode;
    const char* ids;
    int allowed;
  };
  const Case cases[] = {
      {"ids", "0781:5567,046d:c52b", 1}, {"keyids", "0781:5567 046d:c52b", 1}, {"ids", "046D:C52B", 0},
      {"ids", "0781:5567", 0},           {"ids", "", 0},                       {"---", "", 1},
      {"key", "0781:5567", 1},
  };
  for (const Case& c : cases) {
    params.set("zov_accctrl_7", c.mode);
    if (c.ids[0]) params.set("zov_vendprodIDs_7", c.ids);
    else paramStore.find("zov_vendprodIDs_7")->set("");
    EXPECT_EQ(c.allowed, isUsbPortAccessAllowed(row, 7)) << c.mode << " " << c.ids;
  }
  params.set("zov_accctrl_7", "---");
  EXPECT_EQ(0, isUsbPortAccessAllowed(row, 0));
  EXPECT_EQ(0, isUsbPortAccessAllowed(row, 21));
  EXPECT_EQ(0, isUsbPortAccessAllowed(-1, 7));
  EXPECT_EQ(0, isUsbPortAccessAllowed(USB_MAXDEVS, 7));
}

TEST(AccessVlan, PortAssignmentDecidesWhoSeesIt) {
  ParamScope params;
  params.set("ip4vlan_id_2", "42");
  const uint32_t savedPorts = productParams().usb_ports_phy;
  productParams().usb_ports_phy = 4;
  struct Case {
    const char* assigned;
    int vlan;
    int visible;
  };
  // Above usb_ports_phy (4): only connections without VLAN.
  const Case cases[] = {
      {"0", -1, 1}, {"0", 42, 1}, {"2", 42, 1}, {"2", 43, 0}, {"2", -1, 0},
      {"4", -1, 0}, {"5", -1, 1}, {"5", 42, 0}, {"21", -1, 1}, {"21", 42, 0},
  };
  for (const Case& c : cases) {
    params.set("zov_2vlan_8", c.assigned);
    EXPECT_EQ(c.visible, isPortVisibleOnVlan(8, c.vlan)) << c.assigned << " on " << c.vlan;
  }
  EXPECT_EQ(0, isPortVisibleOnConnectionVlan(8, nullptr));
  productParams().usb_ports_phy = savedPorts;
}

namespace {

int readerAnswer = 1;
int readerState = 0;
bool queryReader(int* state) {
  *state = readerState;
  return readerAnswer != 0;
}
const UsbBoardHooks kReaderBoard = {nullptr, queryReader, nullptr, nullptr, nullptr, nullptr};

}  // namespace

TEST(AccessCardReader, OnlyPortOneWhileTheReaderIsAbsent) {
  EXPECT_EQ(0, isUsbPortUnavailable(1));  // no board
  setUsbBoardHooks(&kReaderBoard);
  readerState = 0;
  EXPECT_EQ(1, isUsbPortUnavailable(1));
  EXPECT_EQ(0, isUsbPortUnavailable(2));
  readerState = 1;
  EXPECT_EQ(0, isUsbPortUnavailable(1));
  readerState = 0;
  readerAnswer = 0;  // the query fails: the port is a USB port
  EXPECT_EQ(0, isUsbPortUnavailable(1));
  readerAnswer = 1;
  setUsbBoardHooks(nullptr);
}

TEST(AccessSwitches, SecureAndPreResetFollowTheirParameters) {
  ParamScope params;
  params.set("zov_sec_9", "on");
  params.set("zov_prereset_9", "off");
  EXPECT_EQ(1, isPortSecureOnly(9));
  EXPECT_EQ(0, isPortPreResetEnabled(9));
  params.set("zov_sec_9", "off");
  params.set("zov_prereset_9", "on");
  EXPECT_EQ(0, isPortSecureOnly(9));
  EXPECT_EQ(1, isPortPreResetEnabled(9));
}
