#include "support/program_child.h"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "support/identity_fixture.h"

const char kBuiltProgram[] = TEST_BINARY_DIR "/usbdevsrv";

std::string layProgramRoot(const char* prefix, const std::string& fixture) {
  std::string tmpl = std::string("/tmp/") + prefix + "XXXXXX";
  if (!mkdtemp(&tmpl[0])) return "";
  for (const char* d : {"/etc", "/flash", "/var", "/romfs", "/tmp", "/dev", "/proc/sys/vm",
                        "/proc/sys/net/ipv6/conf/all"}) {
    const std::string cmd = "mkdir -p '" + tmpl + d + "'";
    if (std::system(cmd.c_str()) != 0) return "";
  }
  if (!layIdentityFixture(fixture, tmpl)) return "";
  return tmpl;
}

pid_t forkProgram(const ProgramChildSetup& setup) {
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid != 0) return pid;
  int out = open((setup.root + "/stdout.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  int err = open((setup.root + "/stderr.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  dup2(out, STDOUT_FILENO);
  dup2(err, STDERR_FILENO);
  if (unshare(CLONE_NEWNET) != 0) _exit(120);
  if (std::system(setup.linkCommand.c_str()) != 0) _exit(121);
  setenv("APPLIANCE_ROOT", setup.root.c_str(), 1);
  for (const std::string& entry : setup.environment) {
    const size_t eq = entry.find('=');
    if (eq != std::string::npos) setenv(entry.substr(0, eq).c_str(), entry.substr(eq + 1).c_str(), 1);
  }
  if (setup.kickOff)
    setenv("KickOff", setup.kickOff, 1);
  else
    unsetenv("KickOff");
  execl(kBuiltProgram, kBuiltProgram, static_cast<char*>(nullptr));
  _exit(122);
}

std::vector<std::string> processThreadNames(pid_t pid) {
  std::vector<std::string> names;
  const std::string dir = "/proc/" + std::to_string(pid) + "/task";
  DIR* d = opendir(dir.c_str());
  if (!d) return names;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    std::string name = readWholeFile(dir + "/" + e->d_name + "/comm");
    if (!name.empty() && name.back() == '\n') name.pop_back();
    names.push_back(name);
  }
  closedir(d);
  return names;
}

bool processHasThread(pid_t pid, const std::string& name) {
  for (const std::string& n : processThreadNames(pid))
    if (n == name) return true;
  return false;
}
