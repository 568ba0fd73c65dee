// Link state: MII where the driver answers, the carrier stand-in on a veth,
// and the rules of the link word per model.
#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>

#include "net/interface/linkstate.h"
#include "net/interface/netinterface.h"
#include "net/support/netfixture.h"

namespace {

using LinkStateTest = NetworkTest;

struct ModelCase {
  uint32_t productId;
  uint32_t phyAddress;
  uint32_t linkWord;
};

// The carrier stand-in gives the word MII would give for the model's PHYs.
const ModelCase kModels[] = {
    {353, 4, 0x11},  // PHY 4 and, on this model, PHY 0
    {330, 4, 0x10},
    {100, 0, 0x01},
    {353, 0, 0x01},
    {100, 31, 0x80000000u},
    {100, 32, 0},  // addresses from 32 on have no bit
};

TEST_F(LinkStateTest, CarrierUpGivesTheModelsLinkWord) {
  linkUp();
  for (const ModelCase& model : kModels) {
    productParams().product_id = model.productId;
    productParams().phy0_addr = model.phyAddress;
    uint32_t mask = 0xdead;
    EXPECT_EQ(nif_.getLinkState(&mask), model.linkWord ? 1 : 0) << model.productId << "/" << model.phyAddress;
    EXPECT_EQ(mask, model.linkWord) << model.productId << "/" << model.phyAddress;
  }
}

TEST_F(LinkStateTest, PeerDownGivesNoLink) {
  linkUp();
  productParams().product_id = 353;
  productParams().phy0_addr = 4;
  uint32_t mask = 0;
  ASSERT_EQ(nif_.getLinkState(&mask), 1);
  ASSERT_EQ(mask, 0x11u);

  ASSERT_TRUE(PrivateNetwork::run("ip link set peer0 down"));
  mask = 0xdead;
  EXPECT_EQ(nif_.getLinkState(&mask), 0);
  EXPECT_EQ(mask, 0u);
  EXPECT_EQ(nif_.getLinkState(nullptr), 0);

  ASSERT_TRUE(PrivateNetwork::run("ip link set peer0 up"));
  EXPECT_EQ(nif_.getLinkState(&mask), 1);
  EXPECT_EQ(mask, 0x11u);
}

TEST_F(LinkStateTest, ProductWithoutPhyAlwaysHasLinkAndKeepsThePresetMask) {
  productParams().product_id = 357;
  uint32_t mask = 0x11;
  EXPECT_EQ(nif_.getLinkState(&mask), 1);
  EXPECT_EQ(mask, 0x11u);
  NetInterface missing;
  missing.setName("nosuch0");
  EXPECT_EQ(missing.getLinkState(&mask), 1);
}

TEST_F(LinkStateTest, MissingInterfaceIsAFailureNotNoLink) {
  productParams().product_id = 100;
  productParams().phy0_addr = 4;
  NetInterface missing;
  missing.setName("nosuch0");
  ASSERT_EQ(missing.openSocket(), 1);
  uint32_t mask = 0xdead;
  EXPECT_EQ(missing.getLinkState(&mask), 0);
  EXPECT_EQ(mask, 0xdeadu);
}

TEST_F(LinkStateTest, VethAnswersNoMiiSoThePhyProbeFails) {
  linkUp();
  productParams().phy0_addr = 1;
  uint16_t value = 0;
  EXPECT_EQ(nif_.accessPhyRegister(0, 1, &value), 0);
  EXPECT_EQ(nif_.probePhy(), 0);
  EXPECT_EQ(nif_.accessMmdRegister(3, 0, 0, &value), 0);
}

TEST(CarrierLinkRegisters, FailsForOtherRegistersAndAnUnreadableCarrier) {
  NetInterface nif;  // no socket: the carrier cannot be read
  nif.setName("eth0");
  uint16_t value = 0;
  EXPECT_EQ(carrierLinkRegisters().readRegister(nif, 4, 0, &value), 0);
  EXPECT_EQ(carrierLinkRegisters().readRegister(nif, 4, kPhyStatusRegister, &value), 0);
}

// A PHY register set under the test's control.
class ScriptedRegisters : public LinkRegisterSource {
 public:
  int readRegister(NetInterface&, int phy, int reg, uint16_t* value) override {
    ++reads;
    lastPhy = phy;
    if (reg != kPhyStatusRegister) return 0;
    if (failPhy == phy) return 0;
    if (holdFor.count() > 0) std::this_thread::sleep_for(holdFor);
    *value = (linkPhys >> phy) & 1 ? kPhyStatusLink | 0x2000 : 0x2000;
    return 1;
  }
  std::atomic<int> reads{0};
  int lastPhy = -1;
  int failPhy = -1;
  uint32_t linkPhys = 0;
  std::chrono::milliseconds holdFor{0};
};

class ScriptedLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = productParams();
    nif_.setName("eth0");
    nif_.setLinkRegisterSource(&registers_);
  }
  void TearDown() override { productParams() = saved_; }

  ProductParams saved_{};
  NetInterface nif_;
  ScriptedRegisters registers_;
};

TEST_F(ScriptedLinkTest, OnlyTheLinkBitOfRegister17Counts) {
  productParams().product_id = 100;
  productParams().phy0_addr = 5;
  registers_.linkPhys = 1u << 5;
  uint32_t mask = 0;
  EXPECT_EQ(nif_.getLinkState(&mask), 1);
  EXPECT_EQ(mask, 0x20u);
  registers_.linkPhys = ~(1u << 5);  // other PHYs have link, ours not
  EXPECT_EQ(nif_.getLinkState(&mask), 0);
  EXPECT_EQ(mask, 0u);
  EXPECT_EQ(registers_.lastPhy, 5);
}

TEST_F(ScriptedLinkTest, SecondPhyOfProduct353FailingLeavesTheMask) {
  productParams().product_id = 353;
  productParams().phy0_addr = 4;
  registers_.linkPhys = 0x11;
  registers_.failPhy = 0;
  uint32_t mask = 0x77;
  EXPECT_EQ(nif_.getLinkState(&mask), 0);
  EXPECT_EQ(mask, 0x77u);
}

TEST_F(ScriptedLinkTest, FailedReadLeavesTheMiiLockFree) {
  productParams().product_id = 100;
  productParams().phy0_addr = 2;
  registers_.failPhy = 2;
  uint32_t mask = 0;
  EXPECT_EQ(nif_.getLinkState(&mask), 0);
  registers_.failPhy = -1;
  registers_.linkPhys = 0x4;
  // A second caller on another thread gets through.
  auto next = std::async(std::launch::async, [&] {
    uint32_t m = 0;
    return nif_.getLinkState(&m) == 1 && m == 0x4;
  });
  ASSERT_EQ(next.wait_for(std::chrono::seconds(20)), std::future_status::ready);
  EXPECT_TRUE(next.get());
}

TEST_F(ScriptedLinkTest, ConcurrentCallersAreSerialised) {
  productParams().product_id = 100;
  productParams().phy0_addr = 3;
  registers_.linkPhys = 0x8;
  registers_.holdFor = std::chrono::milliseconds(2);
  std::atomic<int> inside{0};
  std::atomic<int> overlap{0};
  class Watching : public LinkRegisterSource {
   public:
    Watching(ScriptedRegisters& inner, std::atomic<int>& in, std::atomic<int>& over)
        : inner_(inner), in_(in), over_(over) {}
    int readRegister(NetInterface& nif, int phy, int reg, uint16_t* value) override {
      if (in_.fetch_add(1) != 0) over_.fetch_add(1);
      int rc = inner_.readRegister(nif, phy, reg, value);
      in_.fetch_sub(1);
      return rc;
    }

   private:
    ScriptedRegisters& inner_;
    std::atomic<int>& in_;
    std::atomic<int>& over_;
  } watching(registers_, inside, overlap);
  NetInterface other;
  other.setName("eth1");
  other.setLinkRegisterSource(&watching);
  nif_.setLinkRegisterSource(&watching);
  std::atomic<int> linked{0};
  std::thread a([&] { for (int i = 0; i < 20; ++i) linked += nif_.getLinkState(nullptr); });
  std::thread b([&] { for (int i = 0; i < 20; ++i) linked += other.getLinkState(nullptr); });
  a.join();
  b.join();
  EXPECT_EQ(linked.load(), 40);
  EXPECT_EQ(overlap.load(), 0);
}

}  // namespace
