// The program's store over the full parameter table.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "params/store/commiteffects.h"
#include "params/store/paramstore.h"
#include "params/support/param_fixture.h"
#include "params/table/paramtable.h"
#include "params/types/param.h"
#include "params/types/paramflags.h"
#include "params/types/snmpset.h"
#include "runtime/socket/resolver_settings.h"

namespace {

TEST(ProgramStoreTest, HoldsTheWholeTableInKeyOrder) {
  int count = 0;
  Param** items = paramStore.items(&count);
  ASSERT_EQ(kParamTableSize, count);
  for (int i = 1; i < count; ++i) EXPECT_LT(std::strcmp(items[i - 1]->key(), items[i]->key()), 0) << i;
  for (int i = 0; i < count; ++i) {
    EXPECT_LE(std::strlen(items[i]->key()), static_cast<size_t>(PARAM_MAX_KEY));
    EXPECT_EQ(items[i], paramStore.find(items[i]->key()));
  }
}

TEST(ProgramStoreTest, ResolverReadsDnsAndIpv6) {
  paramStore.count();  // filling the store wires the resolver
  Param* dns = paramStore.find("dns");
  Param* ipv6 = paramStore.find("ipv6");
  ASSERT_NE(nullptr, dns);
  ASSERT_NE(nullptr, ipv6);
  dns->set("on");
  EXPECT_TRUE(resolverDnsOn());
  dns->set("off");
  EXPECT_FALSE(resolverDnsOn());
  ipv6->set("on");
  EXPECT_TRUE(resolverIpv6On());
  ipv6->set("off");
  EXPECT_FALSE(resolverIpv6On());
}

TEST(ProgramStoreTest, SavedFileReloadsToTheSameValues) {
  TempDataRoot root;
  ASSERT_NE(0, paramStore.find("any_name")->set("Somebody"));
  ASSERT_NE(0, paramStore.find("dns")->set("off"));
  ASSERT_EQ(0, paramStore.save("/etc/params.dat"));
  const std::string file = readWholeFile(root.path("/etc/params.dat"));

  // Width: the longest saved key.
  int count = 0;
  Param** items = paramStore.items(&count);
  size_t width = 0, saved = 0;
  for (int i = 0; i < count; ++i) {
    if (items[i]->flags() & (PF_HIDDEN | PF_VOLATILE)) continue;
    width = std::max(width, std::strlen(items[i]->key()));
    ++saved;
  }
  EXPECT_EQ(saved, static_cast<size_t>(std::count(file.begin(), file.end(), '\n')));
  EXPECT_NE(std::string::npos, file.find(" " + std::string(width - 3, ' ') + "dns = off\n"));

  std::vector<std::string> before;
  for (int i = 0; i < count; ++i) before.push_back(items[i]->savedText());
  paramStore.find("any_name")->set("Other");
  paramStore.find("dns")->set("on");
  paramStore.loadFile("/etc/params.dat");
  for (int i = 0; i < count; ++i) {
    if (items[i]->flags() & PF_VOLATILE) continue;
    EXPECT_EQ(before[i], items[i]->savedText()) << items[i]->key();
  }
}

TEST(ProgramStoreTest, SnmpCommitOfTheAddressRecordsItsSourceAndSaves) {
  TempDataRoot root;
  Param* ip = paramStore.find("ip_addr");
  ASSERT_NE(nullptr, ip);
  const uint8_t address[4] = {10, 9, 8, 7};
  ASSERT_EQ(SNMP_NO_ERROR, ip->setBySnmp(SNMP_RESERVE1, address, SNMP_TYPE_IPADDRESS, 4));
  ASSERT_EQ(SNMP_NO_ERROR, ip->setBySnmp(SNMP_ACTION, address, SNMP_TYPE_IPADDRESS, 4));
  ASSERT_EQ(SNMP_NO_ERROR, ip->setBySnmp(SNMP_COMMIT, address, SNMP_TYPE_IPADDRESS, 4));
  EXPECT_FALSE(ip->isModified());
  EXPECT_EQ("snmp", paramStore.find("ip_setby")->savedText());
  const std::string file = readWholeFile(root.path("/etc/params.dat"));
  EXPECT_NE(std::string::npos, file.find(" ip_addr = 10.9.8.7\n"));
  EXPECT_NE(std::string::npos, file.find(" ip_setby = snmp\n"));
}

TEST(ProgramStoreTest, CommitAndSaveWritesTheProgramFile) {
  TempDataRoot root;
  paramStore.resetModified();
  EXPECT_EQ(0, paramStore.commitAndSave());
  EXPECT_FALSE(std::ifstream(root.path("/etc/params.dat")).good());
  paramStore.find("life")->set("77");
  EXPECT_EQ(CHANGE_ANY | CHANGE_SAVE, paramStore.commitAndSave());
  EXPECT_NE(std::string::npos, readWholeFile(root.path("/etc/params.dat")).find(" life = 77\n"));
  EXPECT_EQ(1, deleteParamFiles());
  EXPECT_FALSE(std::ifstream(root.path("/etc/params.dat")).good());
}

}  // namespace
