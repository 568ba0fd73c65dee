// The program as a whole, seen from outside: each test starts the built
// program in a network namespace of its own (with a veth pair whose end is
// named "eth0") and a data root of its own, drives the simulated board
// through its control socket, sends signals and reads the exit code.
// Needs root for the namespace; skipped otherwise.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/control_client.h"
#include "support/program_child.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

const char* const kProgram = kBuiltProgram;
constexpr int kExitCrash = 3;

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

bool eventually(const std::function<bool()>& cond, int timeoutMs) {
  auto end = Clock::now() + milliseconds(timeoutMs);
  while (Clock::now() < end) {
    if (cond()) return true;
    std::this_thread::sleep_for(milliseconds(20));
  }
  return cond();
}

struct ProgramOptions {
  const char* fixture = "p353";
  std::string params;             // "/etc/params.dat"; empty: none
  bool board = true;              // the simulated board stands in for "/dev/gpio"
  const char* kickOff = "1";      // null: the variable is absent
  bool cable = true;              // the veth peer is up, so eth0 gets a link
};

// The state of "eth0" inside the program's namespace.
struct InterfaceState {
  bool ok = false;
  bool up = false;
  std::string address;  // "" when none
};

class ProgramRun {
 public:
  ~ProgramRun() {
    if (pid_ > 0 && !ended_) {
      kill(pid_, SIGKILL);
      int status;
      waitpid(pid_, &status, 0);
    }
    if (nsFd_ >= 0) close(nsFd_);
    if (!root_.empty()) {
      std::string cmd = "rm -rf '" + root_ + "'";
      (void)!std::system(cmd.c_str());
    }
  }

  // Lays the data root, starts the program and waits for its banner.
  bool start(const ProgramOptions& options) {
    root_ = layProgramRoot("programtest", options.fixture);
    if (root_.empty()) return false;
    if (!options.params.empty()) writeText("/etc/params.dat", options.params);
    if (options.board) writeText("/dev/gpio.sim", "");

    pid_ = forkProgram(childSetup(options));
    if (pid_ < 0) return false;
    started_ = Clock::now();
    // Without a link the start-up waits before its banner; the button task
    // has started by then.
    bool ready = options.cable ? eventually([this] { return contains(err(), "KickOff:"); }, 30000)
                               : eventually([this] { return hasThread("GPio"); }, 30000);
    if (!ready) return false;
    nsFd_ = open(("/proc/" + std::to_string(pid_) + "/ns/net").c_str(), O_RDONLY | O_CLOEXEC);
    return nsFd_ >= 0;
  }

  // One command to the simulated board; its answer.
  std::string board(const std::string& line) {
    ControlClient c(root_ + "/var/simboard.ctl");
    return c.connected() ? c.ask(line) : "error no control socket";
  }

  // Waits for the end; false when the program still runs after timeoutMs.
  bool waitExit(int timeoutMs) {
    auto end = Clock::now() + milliseconds(timeoutMs);
    while (Clock::now() < end) {
      int status = 0;
      pid_t r = waitpid(pid_, &status, WNOHANG);
      if (r == pid_) {
        ended_ = true;
        endedAt_ = Clock::now();
        exited_ = WIFEXITED(status);
        code_ = exited_ ? WEXITSTATUS(status) : -1;
        killedBy_ = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
        return true;
      }
      std::this_thread::sleep_for(milliseconds(10));
    }
    return false;
  }

  // Sends sig and waits for the end; the time it took.
  milliseconds stopWith(int sig, int timeoutMs) {
    auto sent = Clock::now();
    kill(pid_, sig);
    if (!waitExit(timeoutMs)) return milliseconds(timeoutMs);
    return std::chrono::duration_cast<milliseconds>(endedAt_ - sent);
  }

  InterfaceState interfaceState() {
    InterfaceState s;
    int pipeFds[2];
    if (pipe(pipeFds) != 0) return s;
    pid_t checker = fork();
    if (checker == 0) {
      close(pipeFds[0]);
      if (setns(nsFd_, CLONE_NEWNET) != 0) _exit(1);
      int sock = socket(AF_INET, SOCK_DGRAM, 0);
      ifreq req{};
      std::snprintf(req.ifr_name, IFNAMSIZ, "eth0");
      if (ioctl(sock, SIOCGIFFLAGS, &req) != 0) _exit(2);
      std::string text = (req.ifr_flags & IFF_UP) ? "up " : "down ";
      if (ioctl(sock, SIOCGIFADDR, &req) == 0) {
        char buf[INET_ADDRSTRLEN] = "";
        inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(&req.ifr_addr)->sin_addr, buf, sizeof buf);
        text += buf;
      }
      (void)!write(pipeFds[1], text.data(), text.size());
      _exit(0);
    }
    close(pipeFds[1]);
    std::string text;
    char buf[128];
    for (ssize_t n; (n = read(pipeFds[0], buf, sizeof buf)) > 0;) text.append(buf, static_cast<size_t>(n));
    close(pipeFds[0]);
    int status = 0;
    waitpid(checker, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return s;
    s.ok = true;
    s.up = text.compare(0, 3, "up ") == 0;
    s.address = text.substr(text.find(' ') + 1);
    return s;
  }

  bool hasThread(const std::string& name) { return processHasThread(pid_, name); }

  // The value of a key in the parameter file ("" when absent).
  std::string savedParam(const std::string& key) {
    std::istringstream in(readWholeFile(root_ + "/etc/params.dat"));
    for (std::string line; std::getline(in, line);) {
      size_t eq = line.find(" = ");
      if (eq == std::string::npos) continue;
      size_t start = line.find_first_not_of(' ');
      if (line.substr(start, eq - start) == key) return line.substr(eq + 3);
    }
    return "";
  }

  bool fileExists(const char* fixed) {
    struct stat st;
    return stat((root_ + fixed).c_str(), &st) == 0;
  }

  std::string err() { return readWholeFile(root_ + "/stderr.txt"); }
  std::string out() { return readWholeFile(root_ + "/stdout.txt"); }
  pid_t pid() const { return pid_; }
  bool exited() const { return exited_; }
  int code() const { return code_; }
  int killedBy() const { return killedBy_; }

 private:
  void writeText(const char* fixed, const std::string& text) {
    std::ofstream f(root_ + fixed);
    f << text;
  }

  ProgramChildSetup childSetup(const ProgramOptions& options) const {
    ProgramChildSetup child;
    child.root = root_;
    // With both ends up the link of eth0 comes up with the interface.
    // Without a cable, eth0 is brought up and down once first: a veth that
    // was never up reports IFF_RUNNING for a moment after its first
    // bring-up, until the kernel has worked out its operational state.
    child.linkCommand =
        options.cable ? "ip link add eth0 type veth peer name peer0 && ip link set peer0 up && ip link set lo up"
                      : "ip link add eth0 type veth peer name peer0 && ip link set lo up && ip link set eth0 up && "
                        "for i in $(seq 100); do ip -o link show eth0 | grep -q LOWERLAYERDOWN && break; "
                        "sleep 0.05; done && ip link set eth0 down";
    child.kickOff = options.kickOff;
    return child;
  }

  std::string root_;
  pid_t pid_ = -1;
  int nsFd_ = -1;
  bool ended_ = false;
  bool exited_ = false;
  int code_ = -1;
  int killedBy_ = 0;
  Clock::time_point started_;
  Clock::time_point endedAt_;
};

class ProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "network namespaces need root";
    if (access(kProgram, X_OK) != 0) GTEST_SKIP() << "the program is not built: " << kProgram;
  }
};

TEST_F(ProgramTest, TerminationEndsWithCodeZeroAndTheInterfaceDown) {
  ProgramRun run;
  ProgramOptions options;
  options.kickOff = nullptr;
  ASSERT_TRUE(run.start(options)) << run.err();
  EXPECT_TRUE(contains(run.err(), "\n#\n##\n#### pel Master running on eth0 ip:"));
  EXPECT_TRUE(contains(run.err(), " HTTP:80 HTTPS:443 KickOff:-1 ####\n##\n#\n")) << run.err();

  // With the default parameters the address is a ZeroConf one.
  ASSERT_TRUE(eventually([&] { return run.interfaceState().address.compare(0, 8, "169.254.") == 0; }, 10000))
      << run.err();
  EXPECT_TRUE(run.interfaceState().up);
  EXPECT_TRUE(contains(run.err(), "### ZeroConf IP:169.254."));
  EXPECT_TRUE(eventually([&] { return run.hasThread("GPio") && run.hasThread("LazyHubWatcher"); }, 5000));
  EXPECT_EQ(run.savedParam("life"), "1");

  milliseconds took = run.stopWith(SIGTERM, 15000);
  ASSERT_TRUE(run.exited()) << "killed by " << run.killedBy() << "\n" << run.err();
  EXPECT_EQ(run.code(), 0);
  // Every task quits: the one-second delay and the one-second pause of
  // "ShutDown" (at worst 7 s, when a task must be waited for).
  EXPECT_GE(took, milliseconds(1500));
  EXPECT_LT(took, milliseconds(10000));
  EXPECT_TRUE(contains(run.err(), "sigXXX(15) <")) << run.err();

  InterfaceState after = run.interfaceState();
  ASSERT_TRUE(after.ok);
  EXPECT_FALSE(after.up);
  EXPECT_EQ(after.address, "");
}

TEST_F(ProgramTest, StaticAddressAndStartCounterFromTheParameterFile) {
  ProgramRun run;
  ProgramOptions options;
  options.kickOff = "7";
  // TEST-NET-1: an address of no real host, inside the test's own namespace.
  options.params =
      "ip_addr = 192.0.2.10\n"
      "ip_mask = 255.255.255.0\n"
      "ip_gate = 192.0.2.1\n"
      "ip_setby = panel\n"
      "life = 41\n";
  ASSERT_TRUE(run.start(options)) << run.err();
  EXPECT_TRUE(contains(run.err(), "#### pel Master running on eth0 ip:192.0.2.10/255.255.255.0 HTTP:80 HTTPS:443 KickOff:7 ####"))
      << run.err();
  ASSERT_TRUE(eventually([&] { return run.interfaceState().address == "192.0.2.10"; }, 10000)) << run.err();
  EXPECT_TRUE(contains(run.err(), "### Non Zeronf IP:192.0.2.10 setup default Gate:192.0.2.1 ###\n"));
  EXPECT_EQ(run.savedParam("life"), "42");

  // Two interrupts: both counted, and the end as for one.
  kill(run.pid(), SIGINT);
  ASSERT_TRUE(eventually([&] { return contains(run.err(), "sigInts:1\n"); }, 5000));
  milliseconds took = run.stopWith(SIGINT, 15000);
  ASSERT_TRUE(run.exited()) << run.err();
  EXPECT_EQ(run.code(), 0);
  EXPECT_LT(took, milliseconds(10000));
  EXPECT_TRUE(contains(run.err(), "sigInts:2\n")) << run.err();
  InterfaceState after = run.interfaceState();
  EXPECT_FALSE(after.up);
  EXPECT_EQ(after.address, "");
}

TEST_F(ProgramTest, LongPressRemovesTheParametersAndRestarts) {
  struct Case {
    const char* fixture;
    int code;
  } cases[] = {{"p332", 2}, {"p353", 0}};  // board 278 keeps code 0
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fixture);
    ProgramRun run;
    ProgramOptions options;
    options.fixture = c.fixture;
    ASSERT_TRUE(run.start(options)) << run.err();
    ASSERT_TRUE(run.fileExists("/etc/params.dat"));
    // The button devices open once the board start-up is through.
    ASSERT_TRUE(eventually([&] { return run.board("button 0 long") == "ok\n"; }, 30000)) << run.err();
    ASSERT_TRUE(run.waitExit(15000)) << run.err();
    ASSERT_TRUE(run.exited());
    EXPECT_EQ(run.code(), c.code);
    EXPECT_FALSE(run.fileExists("/etc/params.dat"));
  }
}

TEST_F(ProgramTest, DailyRestartEndsWithTheRebootCode) {
  // Not in the last seconds of an hour: the restart hour must still hold
  // when the program looks.
  for (;;) {
    time_t now = time(nullptr);
    tm local{};
    gmtime_r(&now, &local);
    if (local.tm_min < 59 || local.tm_sec < 30) break;
    std::this_thread::sleep_for(milliseconds(500));
  }
  time_t now = time(nullptr);
  tm local{};
  gmtime_r(&now, &local);

  ProgramRun run;
  ProgramOptions options;
  // Without the time client the program keeps its local time in UTC.
  options.params = "dailyrestart = " + std::to_string(local.tm_hour) + "\nntp = off\n";
  ASSERT_TRUE(run.start(options)) << run.err();
  // Not within the first 61 minutes of the run.
  EXPECT_FALSE(run.waitExit(7000));
  // The program clock follows the board's tick counter: one hour on.
  ASSERT_EQ(run.board("ticks +366100"), "ok\n");
  ASSERT_TRUE(run.waitExit(20000)) << run.err();
  ASSERT_TRUE(run.exited());
  EXPECT_EQ(run.code(), 2);
}

TEST_F(ProgramTest, EightPortModelPowersItsPortsInTwoGroups) {
  ProgramRun run;
  ProgramOptions options;
  options.fixture = "p332";
  ASSERT_TRUE(run.start(options)) << run.err();
  struct Entry {
    long ms;
    std::string text;
  };
  std::vector<Entry> powered;
  ASSERT_TRUE(eventually(
      [&] {
        powered.clear();
        std::istringstream in(run.board("dump"));
        for (std::string line; std::getline(in, line);) {
          size_t space = line.find(' ');
          if (space == std::string::npos || !contains(line, "outputs on ")) continue;
          powered.push_back({std::stol(line.substr(0, space)), line.substr(space + 1)});
        }
        return powered.size() >= 8;
      },
      30000))
      << run.err();
  const char* expected[] = {"0x00000001", "0x00000004", "0x00000010", "0x00000040",
                            "0x00000002", "0x00000008", "0x00000020", "0x00000080"};
  ASSERT_EQ(powered.size(), 8u);
  for (int i = 0; i < 8; ++i) EXPECT_EQ(powered[i].text, std::string("outputs on ") + expected[i]) << i;
  // A pause of half a second between the groups.
  EXPECT_GE(powered[4].ms - powered[3].ms, 400);
  EXPECT_LT(powered[3].ms - powered[0].ms, 400);
  run.stopWith(SIGTERM, 15000);
  EXPECT_EQ(run.code(), 0);
}

TEST_F(ProgramTest, SignalsFromOutsideAreLoggedAndASegmentationSignalDumps) {
  ProgramRun run;
  ASSERT_TRUE(run.start(ProgramOptions())) << run.err();
  for (int sig : {SIGUSR1, SIGUSR2, SIGFPE, SIGBUS, SIGPIPE}) {
    kill(run.pid(), sig);
    std::string line = "sigXXX(" + std::to_string(sig) + ") <";
    EXPECT_TRUE(eventually([&] { return contains(run.err(), line); }, 5000)) << sig;
  }
  EXPECT_FALSE(run.waitExit(500)) << "the program ended on a logged signal";
  run.stopWith(SIGSEGV, 10000);
  ASSERT_TRUE(run.exited()) << "killed by " << run.killedBy();
  EXPECT_EQ(run.code(), kExitCrash);
  // The dump starts a line of its own (the SNMP agent's socket lines come
  // before it).
  const std::string out = run.out();
  const size_t dump = out.find("Signal 11, errno 0, code 0, ");
  ASSERT_NE(dump, std::string::npos) << out.substr(0, 200);
  EXPECT_TRUE(dump == 0 || out[dump - 1] == '\n') << out.substr(0, 200);
  EXPECT_TRUE(contains(run.out(), "\nStack: \n"));
}

TEST_F(ProgramTest, WithoutCableTheStartUpWaitsButStillStops) {
  ProgramRun run;
  ProgramOptions options;
  options.cable = false;
  ASSERT_TRUE(run.start(options)) << run.err();
  EXPECT_FALSE(run.waitExit(1500));
  EXPECT_FALSE(contains(run.err(), "KickOff:")) << "no link, yet the start-up went on:\n" << run.err();
  milliseconds took = run.stopWith(SIGTERM, 15000);
  ASSERT_TRUE(run.exited()) << run.err();
  EXPECT_EQ(run.code(), 0);
  EXPECT_LT(took, milliseconds(10000));
  EXPECT_FALSE(run.interfaceState().up);
}

TEST_F(ProgramTest, StartsAndEndsWithoutABoard) {
  ProgramRun run;
  ProgramOptions options;
  options.board = false;
  ASSERT_TRUE(run.start(options)) << run.err();
  EXPECT_TRUE(eventually([&] { return run.hasThread("LazyHubWatcher"); }, 5000));
  EXPECT_FALSE(run.hasThread("GPio"));
  run.stopWith(SIGTERM, 15000);
  ASSERT_TRUE(run.exited()) << run.err();
  EXPECT_EQ(run.code(), 0);
}

}  // namespace

namespace {

// The remote syslog keys stay hidden (no client starts, however the file
// sets them), the time client runs as "NTP", and the packet filter of the
// file is installed in the program's namespace with its test mode armed;
// on a link-local address no filter is installed at all.
TEST_F(ProgramTest, HiddenSyslogTimeClientAndPacketFilterAtTheStart) {
  if (system("command -v iptables-legacy >/dev/null 2>&1") != 0) GTEST_SKIP() << "iptables not installed";
  const std::string common =
      "syslog = on\n"
      "syslog_ipa = 192.0.2.20\n"
      "syslog_upo = 5514\n"
      "ntp_server = 192.0.2.30\n"
      "protection = on\n"
      "ip_filter_1 = 192.0.2.*\n"
      "ip_filter_on_1 = on\n";
  struct Case {
    const char* what;
    std::string address;
    bool filtered;
  } cases[] = {
      {"static address", "ip_addr = 192.0.2.10\nip_mask = 255.255.255.0\n", true},
      {"link-local address", "", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ProgramRun run;
    ProgramOptions options;
    options.params = c.address + common;
    ASSERT_TRUE(run.start(options)) << run.err();
    ASSERT_TRUE(eventually([&] { return run.hasThread("NTP"); }, 10000)) << run.err();
    EXPECT_EQ(run.savedParam("protection_test"), c.filtered ? "test" : "on");
    std::string rules;
    FILE* p = popen(("nsenter --net=/proc/" + std::to_string(run.pid()) + "/ns/net iptables-legacy -S INPUT").c_str(),
                    "r");
    ASSERT_NE(p, nullptr);
    char buffer[256];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, p)) > 0;) rules.append(buffer, n);
    pclose(p);
    EXPECT_TRUE(contains(rules, "-P INPUT ACCEPT\n")) << rules;
    EXPECT_EQ(contains(rules, "-A INPUT -s 192.0.2.0/24 -j ACCEPT\n"), c.filtered) << rules;
    EXPECT_EQ(contains(rules, "-A INPUT -p tcp -m multiport --dports 9200,9443 -j DROP\n"), c.filtered) << rules;
    run.stopWith(SIGTERM, 15000);
    ASSERT_TRUE(run.exited()) << run.err();
    EXPECT_FALSE(contains(run.err(), "SysLog")) << run.err();
  }
}

}  // namespace
