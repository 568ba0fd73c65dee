#include "net/support/netfixture.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstring>

#include "params/store/paramstore.h"
#include "params/types/parambase.h"

void ParamRestorer::save(const char* key) {
  Param* param = paramStore.find(key);
  if (param) saved_.emplace_back(key, param->savedText());
}

void ParamRestorer::saveFamily(const char* stem, int count) {
  for (int n = 1; n <= count; ++n) save((std::string(stem) + std::to_string(n)).c_str());
}

ParamRestorer::~ParamRestorer() {
  for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
    Param* param = paramStore.find(it->first.c_str());
    if (param) {
      param->set(it->second.c_str());
      param->clearModified();
    }
  }
}

void setParam(const char* key, const char* value) {
  Param* param = paramStore.find(key);
  ASSERT_NE(param, nullptr) << key;
  param->set(value);
}

std::string paramText(const char* key) {
  Param* param = paramStore.find(key);
  return param ? param->savedText() : std::string("<absent>");
}

int MessageProbe::drain(int32_t flag) {
  int count = 0;
  for (;;) {
    int pending = 0;
    if (::ioctl(pipeRead, FIONREAD, &pending) != 0 || pending < static_cast<int>(sizeof(TaskMessage))) break;
    TaskMessage message{};
    if (::read(pipeRead, &message, sizeof message) != static_cast<ssize_t>(sizeof message)) break;
    if (message.flags & flag) ++count;
  }
  return count;
}

void NetworkTest::SetUp() {
  std::string why;
  if (!network_.enter(&why)) GTEST_SKIP() << "network namespace test skipped: " << why;
  savedProduct_ = productParams();
  for (const char* key : {"ip_addr", "ip_mask", "ip_gate", "ip_setby", "sw_features", "ipv6", "ip4vlan_mgmt",
                          "ip4vlan_mgmt_id"})
    params_.save(key);
  for (const char* stem : {"ip4vlan_on_", "ip4vlan_addr_", "ip4vlan_mask_", "ip4vlan_gate_", "ip4vlan_id_"})
    params_.saveFamily(stem, 20);
  nif_.setName("eth0");
  ASSERT_EQ(nif_.openSocket(), 1);
  probe_ = std::make_unique<MessageProbe>();
}

void NetworkTest::TearDown() {
  probe_.reset();
  nif_.closeSocket();
  if (!IsSkipped()) productParams() = savedProduct_;
}

std::string NetworkTest::addressLines(const char* device) {
  return PrivateNetwork::output(std::string("ip -4 -o addr show dev ") + device);
}

std::string NetworkTest::routes() { return PrivateNetwork::output("ip -4 route show"); }

void NetworkTest::linkUp() {
  ASSERT_TRUE(PrivateNetwork::run("ip link set peer0 up"));
  ASSERT_TRUE(PrivateNetwork::run("ip link set eth0 up"));
}
