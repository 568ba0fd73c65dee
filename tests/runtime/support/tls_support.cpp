#include "runtime/support/tls_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <regex>
#include <sstream>
#include <thread>

#include "runtime/file/paths.h"
#include "runtime/socket/ipaddress.h"
#include "runtime/tls/tlscontext.h"
#include "runtime/tls/tlscontextcache.h"
#include "runtime/tls/tlshandshake.h"
#include "runtime/tls/tlslistener.h"
#include "runtime/tls/tlssettings.h"

namespace tlstest {

namespace {

namespace fs = std::filesystem;

// Pairs are made once per build tree and shared by every test program and
// run. Parallel runs each make a pair in a private folder and rename the
// folder into place: the first rename wins whole, so a key never meets
// another run's certificate.
std::mutex pairMutex;

std::string pairDir() { return std::string(TEST_BINARY_DIR) + "/tls-test-pairs"; }

void makePair(const std::string& name) {
  const std::string dir = pairDir() + "/" + name;
  if (fs::exists(dir + "/pair.crt") && fs::exists(dir + "/pair.key")) return;
  fs::create_directories(pairDir());
  const std::string scratch = dir + "." + std::to_string(getpid());
  std::error_code ignored;
  fs::remove_all(scratch, ignored);
  fs::create_directories(scratch);
  const std::string command = "openssl req -x509 -newkey rsa:2048 -nodes -days 3650 -subj /CN=" + name +
                              " -keyout " + scratch + "/pair.key -out " + scratch + "/pair.crt >/dev/null 2>&1";
  if (std::system(command.c_str()) != 0) {
    ADD_FAILURE() << "cannot make the pair " << name;
    fs::remove_all(scratch, ignored);
    return;
  }
  if (::rename(scratch.c_str(), dir.c_str()) != 0) fs::remove_all(scratch, ignored);
}

char sslMethodValue[16] = "any";
int securityValue = 4;
int maxsegValue = 0;
int usbPorts = 0;
int vlanIndex = -1;
int vlanId = -1;

int readMethod(char* out, int size) {
  std::snprintf(out, static_cast<size_t>(size), "%s", sslMethodValue);
  return 1;
}
int readSecurity() { return securityValue; }
int readPortVlan(int index) { return index == vlanIndex ? vlanId : -1; }
int readUsbPorts() { return usbPorts; }
int readMaxseg() { return maxsegValue; }

void copyFile(const std::string& from, const std::string& to) {
  std::error_code ignored;
  fs::copy_file(from, to, fs::copy_options::overwrite_existing, ignored);
}

}  // namespace

std::string pairFile(const std::string& name, bool key) {
  {
    std::lock_guard<std::mutex> hold(pairMutex);
    makePair(name);
  }
  return pairDir() + "/" + name + (key ? "/pair.key" : "/pair.crt");
}

void setSslMethod(const char* method) { std::snprintf(sslMethodValue, sizeof sslMethodValue, "%s", method); }
void setSecurity(int security) { securityValue = security; }
void setTcpMaxseg(int value) { maxsegValue = value; }
void setPortVlan(int ports, int onIndex, int id) {
  usbPorts = ports;
  vlanIndex = onIndex;
  vlanId = id;
}

void TlsTestRoot::SetUp() {
  signal(SIGPIPE, SIG_IGN);
  savedRoot_ = dataRoot();
  char pattern[] = "/tmp/tlstest.XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  dir_ = pattern;
  fs::create_directories(dir_ + "/flash");
  setDataRoot(dir_.c_str());
  setSslMethod("any");
  setSecurity(4);
  setTcpMaxseg(0);
  setPortVlan(0, -1, -1);
  setTlsSettings(TlsSettings{readMethod, readSecurity, readPortVlan, readUsbPorts, readMaxseg});
  dropTlsContextCache();
  installPair(TLS_PAIR_OWN, "own");
  installPair(TLS_PAIR_IMPORTED, "imported");
}

void TlsTestRoot::TearDown() {
  setTlsSettings(TlsSettings{nullptr, nullptr, nullptr, nullptr, nullptr});
  setDataRoot(savedRoot_.c_str());
  std::error_code ignored;
  fs::remove_all(dir_, ignored);
}

// Written to a temporary name and renamed, as the device writes its pairs.
void TlsTestRoot::installPair(int slot, const std::string& name) {
  for (bool key : {false, true}) {
    const std::string target = rootPath(key ? tlsPrivateKeyFile(slot) : tlsCertificateFile(slot));
    copyFile(pairFile(name, key), target + ".new");
    fs::rename(target + ".new", target);
  }
}

void TlsTestRoot::removePair(int slot) {
  std::error_code ignored;
  fs::remove(rootPath(tlsCertificateFile(slot)), ignored);
  fs::remove(rootPath(tlsPrivateKeyFile(slot)), ignored);
}

std::string TlsTestRoot::rootPath(const std::string& fixedPath) const { return dir_ + fixedPath; }

int LoopbackInterface::getAddress(IpAddress& out, const char*, int) {
  out.fromIp4Bytes(127, 0, 0, 1);
  return 1;
}

std::unique_ptr<TlsConnection> openLoopbackListener(InterfaceView* iface, int* port) {
  static std::mt19937 random(static_cast<unsigned>(getpid()));
  for (int attempt = 0; attempt < 50; ++attempt) {
    const int candidate = 20000 + static_cast<int>(random() % 30000);
    TlsConnection* listener = openTcpListener(nullptr, candidate, iface, 0);
    if (listener != nullptr) {
      *port = candidate;
      return std::unique_ptr<TlsConnection>(listener);
    }
  }
  return nullptr;
}

std::unique_ptr<TlsConnection> acceptWithin(TlsConnection& listener, int tls, int64_t limitCs) {
  int error = 0;
  if (!listener.wait4read(limitCs, &error, 1)) return nullptr;
  return std::unique_ptr<TlsConnection>(listener.accept(tls));
}

SClient::SClient(int port, const std::vector<std::string>& extraArgs, const std::string& outputFile)
    : outputFile_(outputFile) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return;
  std::vector<std::string> args = {"openssl", "s_client", "-connect", "127.0.0.1:" + std::to_string(port)};
  args.insert(args.end(), extraArgs.begin(), extraArgs.end());
  pid_ = fork();
  if (pid_ == 0) {
    dup2(fds[0], 0);
    const int out = ::open(outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(out, 1);
    dup2(out, 2);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    execvp("openssl", argv.data());
    _exit(127);
  }
  ::close(fds[0]);
  input_ = fds[1];
}

SClient::~SClient() { finish(); }

void SClient::sendLine(const std::string& line) {
  const std::string text = line + "\n";
  if (input_ >= 0) (void)!::write(input_, text.data(), text.size());
}

std::string SClient::finish() {
  if (input_ >= 0) {
    ::close(input_);
    input_ = -1;
  }
  if (pid_ > 0) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    int status = 0;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > end) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    pid_ = -1;
  }
  std::ifstream in(outputFile_);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

bool parseSClientSession(const std::string& output, std::string* version, std::string* cipher) {
  // "New, <v>" names the cipher's version; the session block, where
  // s_client prints one, the protocol's.
  static const std::regex line("New, ([^,]+), Cipher is (\\S+)");
  static const std::regex protocol("Protocol\\s*: (\\S+)");
  std::smatch match;
  if (!std::regex_search(output, match, line)) return false;
  *version = match[1];
  *cipher = match[2];
  if (std::regex_search(output, match, protocol)) *version = match[1];
  return true;
}

std::set<std::string> opensslCiphers(const std::string& list) {
  std::set<std::string> names;
  const std::string command = "openssl ciphers '" + list + "' 2>/dev/null";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return names;
  std::string text;
  char chunk[512];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, pipe)) > 0) text.append(chunk, n);
  pclose(pipe);
  std::stringstream parts(text);
  std::string name;
  while (std::getline(parts, name, ':')) {
    while (!name.empty() && (name.back() == '\n' || name.back() == '\r')) name.pop_back();
    if (!name.empty()) names.insert(name);
  }
  return names;
}

namespace {

bool connectedPair(int fds[2], int firstFd, int secondFd) {
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return false;
  const int wanted[2] = {firstFd, secondFd};
  for (int i = 0; i < 2; ++i) {
    if (wanted[i] < 0) continue;
    if (dup2(fds[i], wanted[i]) < 0) return false;
    ::close(fds[i]);
    fds[i] = wanted[i];
  }
  return true;
}

std::unique_ptr<TlsConnection> connectedEnd(int fd) {
  auto c = std::make_unique<TlsConnection>(nullptr, nullptr, -1);
  c->fd = fd;
  c->family = AF_UNIX;
  c->type = SOCK_STREAM;
  c->state = CONN_STATE_CONNECTED;
  return c;
}

}  // namespace

bool makeSessionPair(std::unique_ptr<TlsConnection>& server, std::unique_ptr<TlsConnection>& client, int serverFd,
                     int clientFd) {
  int fds[2];
  if (!connectedPair(fds, serverFd, clientFd)) return false;
  server = connectedEnd(fds[0]);
  client = connectedEnd(fds[1]);
  TlsConnection* s = server.get();
  std::thread handshake([s] { s->session = tlsServerHandshake(s); });
  const bool clientDone = client->clientHandshake(0, 1000) != nullptr;
  handshake.join();
  return clientDone && server->session != nullptr;
}

bool makePlainPair(std::unique_ptr<TlsConnection>& a, std::unique_ptr<TlsConnection>& b) {
  int fds[2];
  if (!connectedPair(fds, -1, -1)) return false;
  a = connectedEnd(fds[0]);
  b = connectedEnd(fds[1]);
  return true;
}

std::string patternBytes(size_t len, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(len, '\0');
  for (auto& c : bytes) c = static_cast<char>(random());
  return bytes;
}

}  // namespace tlstest
