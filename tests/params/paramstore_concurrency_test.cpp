// Several threads setting, reading, committing and saving at once (run
// under ThreadSanitizer too).
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "params/store/commiteffects.h"
#include "params/store/paramstore.h"
#include "params/support/param_fixture.h"
#include "params/types/param.h"
#include "params/types/paramflags.h"

namespace {

TEST(ParamStoreConcurrencyTest, SetCommitSaveAndReadTogether) {
  TempDataRoot root;
  RecordingCommitEffects effects;
  effects.setHasDisplay(true);
  setCommitEffects(&effects);
  FixtureStore f(standardRows());
  ParamStore& s = f.store();
  s.findInt("sw_features")->setChecked(FEATURE_SDBACKUP);
  effects.setStorageMediumState(3);

  constexpr int kRounds = 300;
  std::atomic<int> saveFailures{0};
  std::vector<std::thread> threads;
  threads.emplace_back([&] {
    for (int i = 0; i < kRounds; ++i) {
      s.find("any_name")->set(i % 2 ? "first name" : "a much longer second name to reallocate");
      s.find("dns")->set(i % 2 ? "on" : "off");
      s.find("ntp_tzone")->set(i % 2 ? "CST" : "CET/CEST (EU)");
    }
  });
  threads.emplace_back([&] {
    for (int i = 0; i < kRounds; ++i) {
      s.find("ip_addr")->set(i % 2 ? "10.0.0.1" : "10.0.0.2");
      s.find("ipv6_addr")->set(i % 2 ? "fe80::1" : "fe80::2");
      s.find("hw_filter_1")->set(i % 2 ? "0:1:2:3:4:5" : "0:1:2:3:4:6");
      s.findInt("life")->setChecked(i);
      s.find("any_name")->set(i % 2 ? "third" : "fourth");
      s.find("zov_poff_1")->set(i % 2 ? "on" : "off");
      s.find("relay_ctrl")->set(i % 2 ? "fix" : "eve");
      s.find("disp_def")->set(i % 2 ? "AB" : "CD");
    }
  });
  threads.emplace_back([&] {
    for (int i = 0; i < kRounds; ++i) s.resetModified();
  });
  threads.emplace_back([&] {
    for (int i = 0; i < kRounds / 10; ++i) {
      if (s.save("/etc/params.dat") != 0) ++saveFailures;
    }
  });
  threads.emplace_back([&] {
    std::string out;
    for (int i = 0; i < kRounds; ++i) {
      for (int n = 0, total = s.countVisible(PF_NOREPORT); n < total; ++n) {
        if (Param* p = s.visibleAt(n, PF_NOREPORT)) out = p->displayText();
      }
      s.findString("any_name")->getText();
      s.find("any_name")->snmpGet(out);
      s.findIp4("ip_addr")->address();
      s.find("ntp_tzone")->isModified();
    }
  });
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(0, saveFailures.load());
  s.resetModified();
  ASSERT_EQ(0, s.save("/etc/params.dat"));

  FixtureStore loaded(standardRows());
  loaded.store().loadFile("/etc/params.dat");
  for (const char* key : {"any_name", "dns", "ip_addr", "ipv6_addr", "hw_filter_1", "life", "ntp_tzone"}) {
    EXPECT_EQ(f.raw(key)->savedText(), loaded.raw(key)->savedText()) << key;
  }
  EXPECT_EQ(readWholeFile(root.path("/etc/params.dat")), readWholeFile(root.path("/var/slot1/params.dat")));
  setCommitEffects(nullptr);
}

}  // namespace
