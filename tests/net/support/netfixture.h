// Shared fixture of the network interface tests: a private namespace with
// the veth pair eth0/peer0, a NetInterface on "eth0", the model record and
// the touched parameters restored afterwards, and a probe for broadcasts.
#ifndef TESTS_NET_SUPPORT_NETFIXTURE_H
#define TESTS_NET_SUPPORT_NETFIXTURE_H

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "net/interface/netinterface.h"
#include "net/support/privatenetwork.h"
#include "params/identity/productparams.h"
#include "runtime/task/task.h"

// Restores the saved text of the listed parameters.
class ParamRestorer {
 public:
  void save(const char* key);
  void saveFamily(const char* stem, int count);
  ~ParamRestorer();

 private:
  std::vector<std::pair<std::string, std::string>> saved_;
};

// Sets a parameter from text; fails the test when the key is unknown.
void setParam(const char* key, const char* value);
std::string paramText(const char* key);

// A registered task that is never started: broadcasts wait in its pipe and
// are counted here.
class MessageProbe : public Task {
 public:
  MessageProbe() : Task("NetProbe") {}
  void run() override {}
  // Reads every pending message; how many had the flag.
  int drain(int32_t flag);
};

class NetworkTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // The IPv4 lines of "ip -4 -o addr show dev <device>".
  static std::string addressLines(const char* device);
  static std::string routes();
  // Brings eth0 and peer0 up (carrier on).
  void linkUp();

  PrivateNetwork network_;
  NetInterface nif_;
  ProductParams savedProduct_{};
  ParamRestorer params_;
  std::unique_ptr<MessageProbe> probe_;
};

#endif
