// The private MIB of the built program, seen from outside: the program runs
// in a network namespace of the test's own (a veth pair whose end is named
// "eth0", a static address) with a data root of its own, and Debian's
// snmpwalk/snmpget/snmpset query it inside that namespace. They need the
// program to start its SNMP agent task; until then they are skipped.
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "params/store/paramstore.h"
#include "snmp/support/snmp_test_agent.h"
#include "support/identity_fixture.h"

namespace {

const char kProgram[] = TEST_BINARY_DIR "/usbdevsrv";
const char kPending[] = TEST_SOURCE_DIR "/app/pending.h";
const std::string kPrivate = ".1.3.6.1.4.1.32473";
const char kAddress[] = "10.77.0.2";
const char kStaticParams[] =
    "ip_addr = 10.77.0.2\nip_mask = 255.255.255.0\nip_dhcp = off\nip_bootp = off\n";

std::string readFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Why the black-box tests cannot run here, "" when they can.
std::string missingPiece() {
  if (geteuid() != 0) return "network namespaces need root";
  if (access(kProgram, X_OK) != 0) return std::string("the program is not built: ") + kProgram;
  if (readFile(kPending).find("startSnmpAgent") != std::string::npos)
    return "the program does not start its SNMP agent task yet (startSnmpAgent is a placeholder in app/pending.h)";
  return "";
}

class Program {
 public:
  ~Program() {
    if (pid_ > 0 && !ended_) {
      kill(pid_, SIGKILL);
      int status;
      waitpid(pid_, &status, 0);
    }
    std::error_code ignored;
    if (!root_.empty()) std::filesystem::remove_all(root_, ignored);
  }

  // Lays the data root, starts the program and waits until the agent answers.
  bool start(const char* fixture) {
    char pattern[] = "/tmp/mibprogram.XXXXXX";
    if (mkdtemp(pattern) == nullptr) return false;
    root_ = pattern;
    for (const char* d : {"/etc", "/flash", "/var", "/romfs", "/tmp", "/dev", "/proc/sys/vm",
                          "/proc/sys/net/ipv6/conf/all", "/snmp"})
      std::filesystem::create_directories(root_ + d);
    if (!layIdentityFixture(fixture, root_)) return false;
    std::ofstream(root_ + "/etc/params.dat") << kStaticParams;
    std::ofstream(root_ + "/dev/gpio.sim") << "";
    std::fflush(nullptr);
    pid_ = fork();
    if (pid_ < 0) return false;
    if (pid_ == 0) runChild();
    for (int i = 0; i < 300; ++i) {
      if (tool("snmpget", "-v2c", kPrivate + ".2.8.1.0").output.find("INTEGER") != std::string::npos) return true;
      if (waitpid(pid_, &status_, WNOHANG) == pid_) {
        ended_ = true;
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
  }

  // An SNMP tool run inside the program's namespace against its address.
  CommandResult tool(const std::string& name, const std::string& version, const std::string& arguments) {
    return runCommand("env SNMP_PERSISTENT_DIR=" + root_ + "/snmp nsenter --net=/proc/" + std::to_string(pid_) +
                      "/ns/net " + name + " " + version + " -c tavrin -On -Ox -t 2 -r 0 " + kAddress + " " +
                      arguments);
  }

  // Waits for the end; false while it still runs after timeoutMs.
  bool waitExit(int timeoutMs) {
    for (int waited = 0; waited <= timeoutMs; waited += 20) {
      if (waitpid(pid_, &status_, WNOHANG) == pid_) {
        ended_ = true;
        return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }
  bool hasThread(const std::string& name) const {
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator("/proc/" + std::to_string(pid_) + "/task", ec)) {
      std::string comm = readFile(e.path().string() + "/comm");
      if (comm == name + "\n") return true;
    }
    return false;
  }
  int exitCode() const { return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1; }
  bool running() { return !ended_ && waitpid(pid_, &status_, WNOHANG) == 0; }
  std::string file(const char* fixed) const { return readFile(root_ + fixed); }
  bool exists(const char* fixed) const {
    struct stat st;
    return stat((root_ + fixed).c_str(), &st) == 0;
  }
  std::string savedParam(const std::string& key) const {
    std::istringstream in(file("/etc/params.dat"));
    for (std::string line; std::getline(in, line);) {
      size_t eq = line.find(" = ");
      size_t start = line.find_first_not_of(' ');
      if (eq != std::string::npos && line.substr(start, eq - start) == key) return line.substr(eq + 3);
    }
    return "";
  }

 private:
  [[noreturn]] void runChild() {
    int out = open((root_ + "/stdout.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open((root_ + "/stderr.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(out, STDOUT_FILENO);
    dup2(err, STDERR_FILENO);
    if (unshare(CLONE_NEWNET) != 0) _exit(120);
    if (std::system("ip link add eth0 type veth peer name peer0 && ip link set peer0 up && "
                    "ip addr add 10.77.0.1/24 dev peer0 && ip link set lo up") != 0)
      _exit(121);
    setenv("APPLIANCE_ROOT", root_.c_str(), 1);
    setenv("KickOff", "1", 1);
    execl(kProgram, kProgram, static_cast<char*>(nullptr));
    _exit(122);
  }

  std::string root_;
  pid_t pid_ = -1;
  int status_ = 0;
  bool ended_ = false;
};

class PrivateMibProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string missing = missingPiece();
    if (!missing.empty()) GTEST_SKIP() << missing;
    ASSERT_TRUE(program.start("p353")) << program.file("/stderr.txt");
  }
  Program program;
};

class PrivateMibProgramWalk : public ::testing::TestWithParam<const char*> {};

TEST_P(PrivateMibProgramWalk, EqualsTheProgramsParameters) {
  std::string missing = missingPiece();
  if (!missing.empty()) GTEST_SKIP() << missing;
  std::string reason;
  if (!useModel(GetParam(), &reason)) GTEST_SKIP() << reason;
  Program program;
  ASSERT_TRUE(program.start(GetParam())) << program.file("/stderr.txt");
  CommandResult walk = program.tool("snmpwalk", "-v2c", kPrivate);
  ASSERT_EQ(walk.status, 0) << walk.output;
  // The store of this process with the program's saved parameters.
  std::ofstream(testDataRoot() + "/etc/params.dat") << program.file("/etc/params.dat");
  paramStore.loadFile("/etc/params.dat");
  WalkComparison c = compareWalkWithStore(walk.output, false);
  EXPECT_TRUE(c.differences.empty()) << ::testing::PrintToString(c.differences);
}

INSTANTIATE_TEST_SUITE_P(Models, PrivateMibProgramWalk, ::testing::Values("p353", "p345", "p365"));

TEST_F(PrivateMibProgram, WrittenNameIsSavedButTheAgentKeepsTheOldOne) {
  const std::string before = program.file("/var/snmpd.conf");
  ASSERT_NE(before.find("sysName     HUB-35307\n"), std::string::npos) << before;
  CommandResult set = program.tool("snmpset", "-v2c", kPrivate + ".2.5.1.0 s new-name");
  EXPECT_EQ(set.status, 0) << set.output;
  EXPECT_EQ(program.savedParam("sys_name"), "new-name");
  EXPECT_EQ(program.file("/var/snmpd.conf"), before);
  CommandResult name = program.tool("snmpget", "-v2c", ".1.3.6.1.2.1.1.5.0");
  EXPECT_NE(name.output.find(hexOf("HUB-35307")), std::string::npos) << name.output;
  CommandResult own = program.tool("snmpget", "-v2c", kPrivate + ".2.5.1.0");
  EXPECT_NE(own.output.find(hexOf("new-name")), std::string::npos) << own.output;
  CommandResult ip = program.tool("snmpset", "-v2c", kPrivate + ".2.4.1.0 a 10.77.0.2");
  EXPECT_EQ(ip.status, 0) << ip.output;
  EXPECT_EQ(program.savedParam("ip_setby"), "snmp");
}

TEST_F(PrivateMibProgram, ControlObjectRestartsAfterAnswering) {
  CommandResult other = program.tool("snmpset", "-v2c", kPrivate + ".2.8.1.0 i 7");
  EXPECT_EQ(other.status, 0) << other.output;
  EXPECT_NE(program.tool("snmpget", "-v2c", kPrivate + ".2.8.1.3").output.find("No Such Instance"),
            std::string::npos);
  // A restart starts its "ShutDown" task before the SET is answered.
  EXPECT_FALSE(program.hasThread("ShutDown")) << "7 is no command";
  CommandResult restart = program.tool("snmpset", "-v2c", kPrivate + ".2.8.1.0 i 10");
  EXPECT_EQ(restart.status, 0) << restart.output;
  ASSERT_TRUE(program.waitExit(15000));
  EXPECT_EQ(program.exitCode(), 0);
  EXPECT_TRUE(program.exists("/etc/params.dat"));
}

TEST_F(PrivateMibProgram, AnyInstanceOfTheControlObjectRestarts) {
  CommandResult restart = program.tool("snmpset", "-v2c", kPrivate + ".2.8.1.3 i 10");
  EXPECT_EQ(restart.status, 0) << restart.output;
  ASSERT_TRUE(program.waitExit(15000));
  EXPECT_EQ(program.exitCode(), 0);
}

TEST_F(PrivateMibProgram, FactoryResetRemovesTheParameterFile) {
  CommandResult reset = program.tool("snmpset", "-v2c", kPrivate + ".2.8.1.0 i 9");
  EXPECT_EQ(reset.status, 0) << reset.output;
  ASSERT_TRUE(program.waitExit(15000));
  EXPECT_EQ(program.exitCode(), 0);
  EXPECT_FALSE(program.exists("/etc/params.dat"));
}

}  // namespace
