// Writing the private MIB through an agent in the test process with
// Debian's snmpset: a good and the bad values of each parameter class, the
// phases the library runs, UNDO, and the control objects.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "params/store/paramstore.h"
#include "params/types/param.h"
#include "runtime/file/paths.h"
#include "runtime/task/task.h"
#include "snmp/support/snmp_test_agent.h"

namespace {

const std::string kPrivate = ".1.3.6.1.4.1.32473";
const std::string kControl = kPrivate + ".2.8.1";

class PrivateMibWrite : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string reason;
    if (!useModel("p353", &reason)) GTEST_SKIP() << reason;
    if (!startTestAgent(&reason)) GTEST_SKIP() << reason;
  }
};

void setText(const char* key, const char* text) {
  Param* p = paramStore.find(key);
  ASSERT_NE(p, nullptr) << key;
  ASSERT_NE(p->set(text), 0) << key << " = " << text;
  paramStore.commitAndSave();
}

std::string savedText(const char* key) {
  Param* p = paramStore.find(key);
  return p != nullptr ? p->savedText() : "(absent)";
}

std::string readParamFile() {
  std::ifstream in(mapPath("/etc/params.dat"));
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// The value of key in the saved parameter file, "(none)" without a line.
std::string fileValue(const std::string& key) {
  std::istringstream in(readParamFile());
  std::string line;
  while (std::getline(in, line)) {
    size_t start = line.find_first_not_of(' ');
    if (start == std::string::npos) continue;
    if (line.compare(start, key.size() + 3, key + " = ") == 0) return line.substr(start + key.size() + 3);
  }
  return "(none)";
}

std::string snmpSet(const std::string& version, const std::string& arguments, int* status = nullptr) {
  CommandResult r = snmpTool("snmpset", version, arguments);
  if (status) *status = r.status;
  return r.output;
}

struct WriteCase {
  const char* key;
  std::string oid;      // below the private prefix, with instance
  const char* good;     // "TYPE VALUE" arguments of snmpset
  const char* stored;   // saved text afterwards
  const char* readBack; // type and value snmpget shows afterwards
  std::vector<std::pair<const char*, const char*>> bad;  // arguments, v2c error
};

// One table for every class: a good value (read back and in the file at
// once) and each bad value with its status.
TEST_F(PrivateMibWrite, EveryClassTakesAGoodValueAndRefusesBadOnes) {
  const std::string tooLong(65, 'x');
  const std::string tooLongArg = "s " + tooLong;
  std::vector<WriteCase> cases = {
      {"zov_port", ".2.1.35.0", "i 9300", "9300", "INTEGER: 9300",
       {{"s 9300", "wrongType"}, {"i 0", "wrongValue"}, {"i 65536", "wrongValue"}, {"a 1.2.3.4", "wrongType"}}},
      {"dns", ".2.4.13.0", "i 0", "off", "INTEGER: 0", {{"i 2", "wrongValue"}, {"s on", "wrongType"}}},
      {"sys_name", ".2.5.1.0", "s written-by-snmp", "written-by-snmp",
       "Hex-STRING: 77 72 69 74 74 65 6E 2D 62 79 2D 73 6E 6D 70",
       {{"i 1", "wrongType"}, {tooLongArg.c_str(), "wrongLength"}}},
      {"any_pwd", ".2.41.2.0", "s longsecret1", "longsecret1", "Hex-STRING: 2A 2A 2A 2A",
       {{"s short", "wrongLength"}, {"i 12345678", "wrongType"}}},
      {"disp_def", ".2.50.11.0", "s AB", "AB", "Hex-STRING: 41 42",
       {{"s A", "wrongLength"}, {"s E1", "wrongValue"}, {"s ab", "wrongValue"}}},
      {"protection_test", ".2.40.2.0", "i 2", "test", "INTEGER: 2",
       {{"i 3", "wrongValue"}, {"i -1", "wrongValue"}, {"s on", "wrongType"}}},
      {"ntp_tzone", ".2.21.5.0", "s NUT", "NUT", "Hex-STRING: 4E 55 54",
       {{"s Nowhere", "wrongValue"}, {"s optgroup", "wrongValue"}, {"i 1", "wrongType"}}},
      {"hw_filter_1", ".2.40.13.1.3.1.0", "x 020000000001", "02:00:00:00:00:01", "Hex-STRING: 02 00 00 00 00 01",
       {{"x 0200", "wrongLength"}, {"i 1", "wrongType"}}},
      {"ip_gate", ".2.4.3.0", "a 10.1.2.3", "10.1.2.3", "IpAddress: 10.1.2.3",
       {{"s 10.1.2.3", "wrongType"}, {"i 1", "wrongType"}}},
      {"ipv6_addr", ".2.4.23.0", "s fd00::5", "fd00::5",
       "Hex-STRING: FD 00 00 00 00 00 00 00 00 00 00 00 00 00 00 05",
       {{"s not-an-address", "wrongType"}, {"i 1", "wrongType"}}},
  };
  for (const WriteCase& c : cases) {
    SCOPED_TRACE(c.key);
    const std::string oid = kPrivate + c.oid;
    for (const auto& bad : c.bad) {
      const std::string before = savedText(c.key);
      std::string out = snmpSet("-v2c", oid + " " + bad.first);
      EXPECT_EQ(snmpErrorName(out), bad.second) << bad.first << "\n" << out;
      EXPECT_EQ(savedText(c.key), before) << bad.first;
    }
    int status = -1;
    std::string out = snmpSet("-v2c", oid + " " + c.good, &status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_EQ(savedText(c.key), c.stored);
    EXPECT_EQ(fileValue(c.key), c.stored);
    CommandResult get = snmpTool("snmpget", "-v2c", oid);
    EXPECT_NE(get.output.find(std::string(" = ") + c.readBack), std::string::npos) << get.output;
  }
}

TEST_F(PrivateMibWrite, ObjectsWithoutWriteAreNotWritable) {
  setText("snmpv1_community", "tavrin");
  struct Case {
    std::string arguments;
    const char* v2c;
    const char* v1;
  } cases[] = {
      {kPrivate + ".2.1.40.0 i 1", "notWritable", "noSuchName"},       // read-only row
      {kPrivate + ".2.11.40.0 i 1", "notWritable", "noSuchName"},      // hidden on the model
      {kPrivate + ".2.5.1.1 s name", "notWritable", "noSuchName"},     // wrong instance
      {kPrivate + ".2.1.22.0 i 0", "notWritable", "noSuchName"},       // language: no value over SNMP
      {kPrivate + ".2.43.1.1.0 i 20", "notWritable", "noSuchName"},    // count object
      {kPrivate + ".2.5.1.0 i 1", "wrongType", "badValue"},
      {kPrivate + ".2.1.35.0 i 0", "wrongValue", "badValue"},
  };
  const std::string name = savedText("sys_name");
  for (const Case& c : cases) {
    EXPECT_EQ(snmpErrorName(snmpSet("-v2c", c.arguments)), c.v2c) << c.arguments;
    std::string v1 = snmpSet("-v1", c.arguments);
    EXPECT_EQ(snmpErrorName(v1), c.v1) << c.arguments << "\n" << v1;
  }
  EXPECT_EQ(savedText("sys_name"), name);
}

TEST_F(PrivateMibWrite, ASetWithOneBadValueChangesNothing) {
  setText("sys_name", "before");
  setText("zov_port", "9200");
  const std::string file = readParamFile();
  std::string out = snmpSet("-v2c", kPrivate + ".2.5.1.0 s after " + kPrivate + ".2.1.35.0 i 0");
  EXPECT_EQ(snmpErrorName(out), "wrongValue") << out;
  EXPECT_EQ(savedText("sys_name"), "before");
  EXPECT_EQ(savedText("zov_port"), "9200");
  EXPECT_EQ(readParamFile(), file);
}

TEST_F(PrivateMibWrite, AddressWriteRecordsSnmpAsItsSource) {
  setText("ip_setby", "zconf");
  int status = -1;
  snmpSet("-v2c", kPrivate + ".2.4.1.0 a 10.9.8.7", &status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(savedText("ip_addr"), "10.9.8.7");
  EXPECT_EQ(savedText("ip_setby"), "snmp");
  EXPECT_EQ(fileValue("ip_addr"), "10.9.8.7");
}

// Counts the parameter broadcasts that reach a task.
class BroadcastListener : public Task {
 public:
  BroadcastListener() : Task("SnmpTestListener") {}
  void run() override {
    for (;;) wait(-1);
  }
  int onMessage(const TaskMessage& msg) override {
    if (msg.flags & MSG_PARAMS_CHANGED) paramsChanged.fetch_add(1);
    if (msg.flags & kMarker) markers.fetch_add(1);
    return msg.flags;
  }
  static constexpr int32_t kMarker = 0x00200000;
  std::atomic<int> paramsChanged{0};
  std::atomic<int> markers{0};
};

TEST_F(PrivateMibWrite, AWriteSavesButNeverBroadcasts) {
  auto* listener = new BroadcastListener;
  ASSERT_GT(listener->start(65536), 0);
  int status = -1;
  // sys_name and ipv6 need a restart of their services, zov_hid takes effect at once.
  snmpSet("-v2c", kPrivate + ".2.5.1.0 s quiet-name " + kPrivate + ".2.4.22.0 i 0 " + kPrivate + ".2.50.15.0 i 0",
          &status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(fileValue("sys_name"), "quiet-name");
  EXPECT_EQ(fileValue("ipv6"), "off");
  // A marker posted after the SET arrives after anything the SET sent.
  listener->post(TaskMessage{0, BroadcastListener::kMarker, 0, 0});
  for (int i = 0; i < 500 && listener->markers.load() == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(listener->markers.load(), 1);
  EXPECT_EQ(listener->paramsChanged.load(), 0);
  EXPECT_EQ(restartsRequested(), 0);
  listener->post(TaskMessage{0, MSG_QUIT, 0, 0});
}

std::vector<std::string> times(const std::string& key, int n) { return std::vector<std::string>(n, key); }

TEST_F(PrivateMibWrite, WrappersSeeThePhasesTheLibraryRuns) {
  setText("sys_name", "phase-0");
  setText("zov_port", "9200");
  const std::string name = kPrivate + ".2.5.1.0";
  const std::string port = kPrivate + ".2.1.35.0";

  // Success: RESERVE1, RESERVE2, ACTION, COMMIT; no FREE.
  auto lines = wrapperLinesDuring([&] { snmpSet("-v2c", name + " s phase-1"); });
  EXPECT_EQ(lines, times("sys_name", 4));
  EXPECT_EQ(savedText("sys_name"), "phase-1");

  // A refusal in RESERVE1: RESERVE1 and FREE for every variable.
  lines = wrapperLinesDuring([&] { snmpSet("-v2c", name + " s phase-2 " + port + " i 0"); });
  EXPECT_EQ(lines, (std::vector<std::string>{"sys_name", "zov_port", "sys_name", "zov_port"}));
  EXPECT_EQ(savedText("sys_name"), "phase-1");

  // A failure in ACTION: RESERVE1, RESERVE2, ACTION, UNDO for every variable.
  lines = wrapperLinesDuring([&] {
    EXPECT_EQ(snmpErrorName(snmpSet("-v2c", name + " s phase-3 " + port + " i 9301 " + kFailingObject + " i 1")),
              "commitFailed");
  });
  EXPECT_EQ(lines, (std::vector<std::string>{"sys_name", "zov_port", "sys_name", "zov_port", "sys_name", "zov_port",
                                             "sys_name", "zov_port"}));
  EXPECT_EQ(savedText("sys_name"), "phase-1");
  EXPECT_EQ(savedText("zov_port"), "9200");
  EXPECT_FALSE(paramStore.find("sys_name")->isModified());
  EXPECT_EQ(fileValue("sys_name"), "phase-1");
}

// One object written twice in a SET that is then undone: the value from
// before the SET comes back, not the first of the two new ones.
TEST_F(PrivateMibWrite, UndoOfAnObjectWrittenTwiceRestoresTheOldValue) {
  struct Case {
    const char* key;
    std::string oid;
    const char* first;
    const char* second;
    const char* old;
  } cases[] = {
      {"sys_name", kPrivate + ".2.5.1.0", "s first", "s second", "old-name"},
      {"zov_port", kPrivate + ".2.1.35.0", "i 9301", "i 9302", "9200"},
      {"ip_gate", kPrivate + ".2.4.3.0", "a 10.0.0.1", "a 10.0.0.2", "10.0.0.9"},
      {"protection_test", kPrivate + ".2.40.2.0", "i 0", "i 2", "on"},
      {"hw_filter_2", kPrivate + ".2.40.13.1.3.2.0", "x 020000000001", "x 020000000002", "02:00:00:00:00:09"},
  };
  for (const Case& c : cases) {
    setText(c.key, c.old);
    std::string out = snmpSet("-v2c", c.oid + " " + c.first + " " + c.oid + " " + c.second + " " + kFailingObject +
                                          " i 1");
    EXPECT_EQ(snmpErrorName(out), "commitFailed") << out;
    EXPECT_EQ(savedText(c.key), c.old) << c.key;
    EXPECT_FALSE(paramStore.find(c.key)->isModified()) << c.key;
  }
}

TEST_F(PrivateMibWrite, ControlObjectActsOnlyWhenTheSetCommits) {
  setText("sys_name", "saved-before-reset");
  const int before = restartsRequested();
  struct Case {
    std::string arguments;
    int restarts;  // more restarts asked afterwards
    const char* error;
  } cases[] = {
      {kControl + ".0 i 7", 0, ""},
      {kControl + ".0 s \"\"", 0, ""},                                   // empty: no command
      {kControl + ".0 i 10 " + kFailingObject + " i 1", 0, "commitFailed"},  // undone: nothing
      {kControl + ".0 i 10", 1, ""},
      {kControl + ".3 i 10", 1, ""},                                     // any instance writes
      {kControl + " i 10", 1, ""},
      {kControl + ".0 x 0A000000", 1, ""},                               // any type, read as an integer
  };
  int expected = before;
  for (const Case& c : cases) {
    int status = -1;
    std::string out = snmpSet("-v2c", c.arguments, &status);
    EXPECT_EQ(snmpErrorName(out), c.error) << c.arguments << "\n" << out;
    if (c.error[0] == '\0') {
      EXPECT_EQ(status, 0) << c.arguments;
    }
    expected += c.restarts;
    EXPECT_EQ(restartsRequested(), expected) << c.arguments;
  }
  ASSERT_TRUE(std::ifstream(mapPath("/etc/params.dat")).good());
  snmpSet("-v2c", kControl + ".0 i 9");
  EXPECT_EQ(restartsRequested(), expected + 1);
  EXPECT_FALSE(std::ifstream(mapPath("/etc/params.dat")).good()) << "factory reset removes the file";
}

TEST_F(PrivateMibWrite, PrinterResetAcceptsEveryWriteAndStaysNotResetting) {
  const int before = restartsRequested();
  for (const char* value : {"i 4", "i 3", "s x"}) {
    int status = -1;
    snmpSet("-v2c", std::string(".1.3.6.1.2.1.43.5.1.1.3.1 ") + value, &status);
    EXPECT_EQ(status, 0) << value;
  }
  CommandResult get = snmpTool("snmpget", "-v2c", ".1.3.6.1.2.1.43.5.1.1.3.1");
  EXPECT_NE(get.output.find("= INTEGER: 3"), std::string::npos) << get.output;
  EXPECT_EQ(restartsRequested(), before);
}

}  // namespace
