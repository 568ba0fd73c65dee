// Saving and loading the parameter file and its card mirror.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "params/store/commiteffects.h"
#include "params/store/paramstore.h"
#include "params/support/param_fixture.h"
#include "params/types/param.h"
#include "params/types/paramflags.h"

namespace fs = std::filesystem;

namespace {

const ParamLimits kName = {0, 64};
const ParamLimits kPassword = {8, 64};
const ChoiceRow kOffOnRows[] = {{"off", "Off", ""}, {"on", "On", ""}};

std::set<std::string> filesIn(const std::string& dir) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.insert(entry.path().filename().string());
  return names;
}

class ParamFileTest : public testing::Test {
 protected:
  void SetUp() override { setCommitEffects(&effects_); }
  void TearDown() override { setCommitEffects(nullptr); }

  std::string paramFile() const { return root_.path("/etc/params.dat"); }

  TempDataRoot root_;
  RecordingCommitEffects effects_;
};

TEST_F(ParamFileTest, FileHasOneAlignedLinePerSavedParameter) {
  IpAddress ip;
  ip.fromIp4Bytes(10, 0, 0, 1);
  const uint8_t mac[6] = {0, 0x11, 0x22, 0x33, 0x44, 0x55};
  FixtureStore f({
      new OnOffParam("dns", 0, PF_RESTART),
      new Ip4Param("ip_addr", ip, KIND_ANY, nullptr, 0),
      new StringParam("admin_pwd", "topsecret", &kPassword, PF_SECRET),
      new IntParam("button_cnt", KIND_ANY, nullptr, PF_VOLATILE, 3),
      new StringParam("a_rather_long_hidden_key", "", &kName, PF_HIDDEN),
      new P3List("ntp_tzone", "CST", kZoneRowCount, kZoneRows, PF_SNMP_TEXT),
      new MacParam("hw_filter_1", mac, KIND_ANY, nullptr, 0),
      new Ip6Address("ipv6_addr", "fe80::1", KIND_ANY, nullptr, 0),
      new StringParam("any_name", "", &kName, 0),
      new P3List("no_choice", nullptr, 2, kOffOnRows, 0),
  });
  ASSERT_EQ(0, f.store().save("/etc/params.dat"));
  EXPECT_EQ(
      "   admin_pwd = topsecret\n"
      "    any_name = \n"
      "         dns = off\n"
      " hw_filter_1 = 00:11:22:33:44:55\n"
      "     ip_addr = 10.0.0.1\n"
      "   ipv6_addr = fe80::1\n"
      "   no_choice = \n"
      "   ntp_tzone = CST\n",
      readWholeFile(paramFile()));
  struct stat st;
  ASSERT_EQ(0, stat(paramFile().c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 0777);
  EXPECT_EQ(std::set<std::string>{"params.dat"}, filesIn(root_.path("/etc")));
}

TEST_F(ParamFileTest, EveryClassSurvivesSaveAndLoad) {
  FixtureStore saved(standardRows());
  ParamStore& s = saved.store();
  const std::pair<const char*, const char*> values[] = {
      {"admin_pwd", "pa ss=word"},  {"any_name", "J\xc3\xbcrgen"}, {"autoSync", "off"},
      {"cpuLoadPoll", "17"},        {"dns", "off"},                {"hw_filter_1", "de:ad:be:ef:00:01"},
      {"ip_addr", "192.168.7.9"},   {"ipv6_addr", "2001:db8::42"}, {"life", "-12"},
      {"ntp_tzone", "HAST/HADT (US)"}, {"relay_ctrl", "eve"},      {"usb_owner_2", "x"},
      {"disp_def", "Z9"},
  };
  for (const auto& v : values) ASSERT_NE(0, s.find(v.first)->set(v.second)) << v.first;
  ASSERT_EQ(0, s.save("/etc/params.dat"));

  FixtureStore loaded(standardRows());
  EXPECT_EQ(1, loaded.store().loadFile("/etc/params.dat"));
  int count = 0;
  Param** items = s.items(&count);
  for (int i = 0; i < count; ++i) {
    if (items[i]->flags() & (PF_HIDDEN | PF_VOLATILE)) continue;
    SCOPED_TRACE(items[i]->key());
    EXPECT_EQ(items[i]->savedText(), loaded.raw(items[i]->key())->savedText());
    EXPECT_EQ(items[i]->displayText(), loaded.raw(items[i]->key())->displayText());
  }
  // Loading does not commit: the caller learns what changed.
  EXPECT_EQ(CHANGE_ANY | CHANGE_SAVE | CHANGE_RESTART | CHANGE_REBOOT, loaded.store().resetModified());
}

TEST_F(ParamFileTest, HandEditedFileLoadsWhatItCan) {
  FixtureStore f(standardRows());
  ParamStore& s = f.store();
  std::string longLine = "any_name = " + std::string(308, 'q') + "dns=off\n";  // read in two pieces
  ASSERT_TRUE(writeWholeFile(paramFile(),
                             "dns=off\r\n"
                             "\t  life\t=\t  42  \t\r\n"
                             "unknown_key = 5\n"
                             "ip_addr = 999.1.1.1\n"
                             "any_name\n"
                             "any_name value\n"
                             "ab\n"
                             "\n"
                             "netcon = x\n"
                             "hw_filter_1 = 00:11:22:33:44:55   \r\n"
                             "ntp_tzone = CST\n"
                             "usb_owner_1 = a=b\n"
                             "usb_owner_2=\n"
                             "cpuLoadPoll = 4294967297\n"
                             "usb_owner_3 = bad\x01value\n"));
  s.find("usb_owner_2")->set("before");
  s.resetModified();
  EXPECT_EQ(1, s.loadFile("/etc/params.dat"));
  EXPECT_EQ("off", s.find("dns")->savedText());
  EXPECT_EQ("42", s.find("life")->savedText());
  EXPECT_EQ("0.0.0.0", s.find("ip_addr")->savedText());
  EXPECT_EQ("User", s.find("any_name")->savedText());
  EXPECT_EQ("", f.raw("netcon")->savedText());
  EXPECT_EQ("00:11:22:33:44:55", s.find("hw_filter_1")->savedText());
  EXPECT_EQ(2, s.findList("ntp_tzone")->currentIndex());  // the first "CST"
  EXPECT_EQ("a=b", s.find("usb_owner_1")->savedText());
  EXPECT_EQ("", s.find("usb_owner_2")->savedText());  // an empty value is a value
  EXPECT_EQ("1", s.find("cpuLoadPoll")->savedText());
  EXPECT_EQ("", s.find("usb_owner_3")->savedText());

  ASSERT_TRUE(writeWholeFile(paramFile(), longLine));
  s.find("dns")->set("on");
  EXPECT_EQ(1, s.loadFile("/etc/params.dat"));
  EXPECT_EQ("User", s.find("any_name")->savedText());
  EXPECT_EQ("off", s.find("dns")->savedText());
}

TEST_F(ParamFileTest, VolatileValuesLoadButReportNothing) {
  FixtureStore f(standardRows());
  ASSERT_TRUE(writeWholeFile(paramFile(), "button_cnt = 9\n"));
  EXPECT_EQ(0, f.store().loadFile("/etc/params.dat"));
  EXPECT_EQ("9", f.raw("button_cnt")->savedText());
  EXPECT_EQ(0, f.store().loadFile("/etc/missing.dat"));
}

TEST_F(ParamFileTest, OldSessionKeySettingIsMigrated) {
  FixtureStore f(standardRows());
  ASSERT_TRUE(writeWholeFile(paramFile(), "any_name = switchon\n"));
  EXPECT_EQ(1, f.store().loadFile("/etc/params.dat"));
  EXPECT_TRUE(f.raw("sessKeys")->isOn());
  EXPECT_EQ("User", f.raw("any_name")->savedText());

  FixtureStore on(standardRows());
  on.raw("sessKeys")->set("on");
  ASSERT_TRUE(writeWholeFile(paramFile(), "any_name = switchon\n"));
  on.store().loadFile("/etc/params.dat");
  EXPECT_EQ("switchon", on.raw("any_name")->savedText());
}

TEST_F(ParamFileTest, SaveCreatesModeSixHundredWhateverTheUmask) {
  FixtureStore f(standardRows());
  for (mode_t mask : {0000, 0022, 0077, 0777}) {
    SCOPED_TRACE(mask);
    mode_t old = umask(mask);
    int rc = f.store().save("/etc/params.dat");
    umask(old);
    ASSERT_EQ(0, rc);
    struct stat st;
    ASSERT_EQ(0, stat(paramFile().c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777);
  }
}

TEST_F(ParamFileTest, FailedSaveKeepsTheOldFile) {
  FixtureStore f(standardRows());
  ASSERT_EQ(0, f.store().save("/etc/params.dat"));
  const std::string before = readWholeFile(paramFile());
  f.raw("dns")->set("off");
  // Something in the way of the temporary file.
  ASSERT_TRUE(fs::create_directory(paramFile() + ".tmp"));
  EXPECT_EQ(-1, f.store().save("/etc/params.dat"));
  EXPECT_EQ(before, readWholeFile(paramFile()));
  fs::remove(paramFile() + ".tmp");
  // A directory that does not exist.
  EXPECT_EQ(-1, f.store().save("/nowhere/params.dat"));
  EXPECT_FALSE(fs::exists(root_.path("/nowhere")));
}

TEST_F(ParamFileTest, CardMirrorWhenActive) {
  FixtureStore f(standardRows());
  ParamStore& s = f.store();
  const std::string mirror = root_.path("/var/slot1/params.dat");
  // Not without the feature, not with autoSync off, not without a writable card.
  effects_.setStorageMediumState(3);
  ASSERT_EQ(0, s.save("/etc/params.dat"));
  EXPECT_FALSE(fs::exists(mirror));
  s.findInt("sw_features")->setChecked(FEATURE_SDBACKUP);
  s.find("autoSync")->set("off");
  ASSERT_EQ(0, s.save("/etc/params.dat"));
  EXPECT_FALSE(fs::exists(mirror));
  s.find("autoSync")->set("on");
  effects_.setStorageMediumState(2);
  ASSERT_EQ(0, s.save("/etc/params.dat"));
  EXPECT_FALSE(fs::exists(mirror));
  EXPECT_TRUE(effects_.takeCalls().empty());

  effects_.setStorageMediumState(3);
  ASSERT_EQ(0, s.save("/etc/params.dat"));
  EXPECT_EQ(readWholeFile(paramFile()), readWholeFile(mirror));
  struct stat st;
  ASSERT_EQ(0, stat(mirror.c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 0777);
  EXPECT_EQ(std::vector<std::string>{"infolog /var/slot1"}, effects_.takeCalls());
  EXPECT_EQ((std::set<std::string>{"params.dat"}), filesIn(root_.path("/var/slot1")));

  // The mirror fails: -1, but the main file is written.
  fs::remove_all(root_.path("/var/slot1"));
  s.find("dns")->set("off");
  EXPECT_EQ(-1, s.save("/etc/params.dat"));
  EXPECT_NE(std::string::npos, readWholeFile(paramFile()).find(" dns = off\n"));
  EXPECT_TRUE(effects_.takeCalls().empty());
}

TEST_F(ParamFileTest, CommitAndSaveWritesOnlyWhenASavedParameterChanged) {
  FixtureStore f(standardRows());
  // commitAndSave saves the program's file through the program's store; a
  // fixture store commits with resetModified and saves explicitly.
  ParamStore& s = f.store();
  s.find("button_cnt")->set("2");
  EXPECT_EQ(CHANGE_ANY, s.resetModified());
  EXPECT_FALSE(fs::exists(paramFile()));
}

TEST_F(ParamFileTest, DeleteParamFiles) {
  FixtureStore f(standardRows());
  ParamStore& s = f.store();
  const std::string mirror = root_.path("/var/slot1/params.dat");
  const std::string backup = root_.path("/var/slot1/params.bup");
  // autoSync off (here: hidden on a model without the card): only the file goes.
  f.raw("autoSync")->addFlags(PF_HIDDEN);
  ASSERT_EQ(0, s.save("/etc/params.dat"));
  ASSERT_TRUE(writeWholeFile(mirror, "x"));
  EXPECT_EQ(1, s.deleteParamFiles());
  EXPECT_FALSE(fs::exists(paramFile()));
  EXPECT_TRUE(fs::exists(mirror));
  EXPECT_EQ(0, s.deleteParamFiles());

  f.raw("autoSync")->removeFlags(PF_HIDDEN);
  ASSERT_EQ(0, s.save("/etc/params.dat"));
  EXPECT_EQ(1, s.deleteParamFiles());
  EXPECT_FALSE(fs::exists(mirror));
  EXPECT_EQ("x", readWholeFile(backup));
}

TEST_F(ParamFileTest, LoadFromDescriptor) {
  FixtureStore f(standardRows());
  ParamStore& s = f.store();
  int fd = -1;
  EXPECT_EQ(-1, s.loadFromFd(&fd));
  EXPECT_EQ(-1, s.loadFromFd(nullptr));

  int pipeFds[2];
  ASSERT_EQ(0, pipe(pipeFds));
  // The write end cannot be read as a stream: closed and cleared.
  int writeEnd = pipeFds[1];
  EXPECT_EQ(-1, s.loadFromFd(&writeEnd));
  EXPECT_EQ(-1, writeEnd);
  EXPECT_EQ(-1, fcntl(pipeFds[1], F_GETFD));
  close(pipeFds[0]);

  ASSERT_EQ(0, pipe(pipeFds));
  const char text[] = " dns = off\n life = 5\n";
  ASSERT_EQ(static_cast<ssize_t>(sizeof text - 1), write(pipeFds[1], text, sizeof text - 1));
  close(pipeFds[1]);
  int readEnd = pipeFds[0];
  EXPECT_EQ(1, s.loadFromFd(&readEnd));
  EXPECT_EQ(-1, readEnd);
  EXPECT_EQ(-1, fcntl(pipeFds[0], F_GETFD));
  EXPECT_TRUE(s.find("dns")->isOff());
  EXPECT_EQ("5", s.find("life")->savedText());
}

// A child saves in a loop, switching between two sets of values; it is
// killed at random moments. The file must always load completely, with
// every value from one of the two sets.
TEST_F(ParamFileTest, KilledSaveLeavesOldOrNewFile) {
  FixtureStore f(standardRows());
  ParamStore& s = f.store();
  const char* keys[] = {"any_name", "usb_owner_1", "life", "ip_addr"};
  const char* setA[] = {"alpha", "AAAA", "1", "10.0.0.1"};
  const char* setB[] = {"bravo", "BBBB", "2", "10.0.0.2"};
  for (int i = 0; i < 4; ++i) ASSERT_NE(0, s.find(keys[i])->set(setA[i]));
  ASSERT_EQ(0, s.save("/etc/params.dat"));
  const size_t lines = static_cast<size_t>(s.countVisible(PF_VOLATILE));  // the saved parameters

  std::mt19937 random(12345);
  int sawA = 0, sawB = 0;
  for (int round = 0; round < 30; ++round) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      for (unsigned n = 0;; ++n) {
        const char** values = (n % 2) ? setB : setA;
        for (int i = 0; i < 4; ++i) s.find(keys[i])->set(values[i]);
        if (s.save("/etc/params.dat") != 0) _exit(3);
      }
    }
    usleep(1000 + random() % 20000);
    kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFSIGNALED(status)) << "the child stopped saving by itself";

    const std::string content = readWholeFile(paramFile());
    EXPECT_EQ(lines, static_cast<size_t>(std::count(content.begin(), content.end(), '\n')));
    FixtureStore loaded(standardRows());
    for (int i = 0; i < 4; ++i) loaded.raw(keys[i])->set("0.0.0.0");
    loaded.store().loadFile("/etc/params.dat");
    int fromA = 0, fromB = 0;
    for (int i = 0; i < 4; ++i) {
      std::string v = loaded.raw(keys[i])->savedText();
      fromA += v == setA[i];
      fromB += v == setB[i];
    }
    EXPECT_TRUE(fromA == 4 || fromB == 4) << "round " << round << ":\n" << content;
    sawA += fromA == 4;
    sawB += fromB == 4;
    // At most the one temporary name is left behind.
    for (const std::string& name : filesIn(root_.path("/etc"))) {
      EXPECT_TRUE(name == "params.dat" || name == "params.dat.tmp") << name;
    }
  }
  EXPECT_GT(sawA + sawB, 0);
}

}  // namespace
