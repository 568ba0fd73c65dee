// The TLS layer reads the program's parameters once the parameter layer has
// installed its readers.
#include <string>

#include "params/store/paramstore.h"
#include "params/types/param.h"
#include "params/wiring/tlswiring.h"
#include "runtime/support/tls_support.h"
#include "runtime/tls/tlssettings.h"

namespace {

class TlsWiringTest : public tlstest::TlsTestRoot {
 protected:
  // Sets key to text for the scope of the test.
  void set(const char* key, const char* text) {
    Param* p = paramStore.find(key);
    ASSERT_NE(p, nullptr) << key;
    saved_.emplace_back(p, p->savedText());
    ASSERT_NE(p->set(text), 0) << key << "=" << text;
  }
  void TearDown() override {
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) it->first->set(it->second.c_str());
    tlstest::TlsTestRoot::TearDown();
  }
  std::vector<std::pair<Param*, std::string>> saved_;
};

TEST_F(TlsWiringTest, ReadsTheProgramsParameters) {
  wireTlsSettings();
  char method[16];
  tlsSslMethod(method, sizeof method);
  EXPECT_STREQ(method, "any");
  EXPECT_EQ(tlsSecurity(), 4);
  EXPECT_EQ(tlsTcpMaxseg(), 0);

  set("sslmethod", "tls11");
  set("security", "2");
  set("tcp_maxseg", "1400");
  tlsSslMethod(method, sizeof method);
  EXPECT_STREQ(method, "tls11");
  EXPECT_EQ(tlsSecurity(), 2);
  EXPECT_EQ(tlsTcpMaxseg(), 1400);
  // A port VLAN whose parameters are absent or hidden on this model is off.
  EXPECT_LT(tlsPortVlan(99), 0);
}

}  // namespace
