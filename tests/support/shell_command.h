// Shell commands run by tests and benchmarks (ip, iptables, the SNMP
// tools, ...), their error output dropped.
#ifndef TESTS_SUPPORT_SHELL_COMMAND_H
#define TESTS_SUPPORT_SHELL_COMMAND_H

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

// True when the command exits with 0; its output is dropped.
inline bool runQuietly(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

// The command's standard output.
inline std::string commandOutput(const std::string& command) {
  std::string text;
  FILE* pipe = ::popen(("{ " + command + "; } 2>/dev/null").c_str(), "r");
  if (!pipe) return text;
  char buffer[512];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) text.append(buffer, n);
  ::pclose(pipe);
  return text;
}

// Starts the command in a child shell ("exec ..." lets the command take
// the shell's place); its pid, -1 when fork failed.
inline pid_t spawnShell(const std::string& command) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  return pid;
}

#endif
