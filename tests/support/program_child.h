// The built program as a child process of a test: on a data root of its
// own, in a network namespace of its own whose "eth0" the test's link
// command makes, with its standard output and error in files of the root.
#ifndef TESTS_SUPPORT_PROGRAM_CHILD_H
#define TESTS_SUPPORT_PROGRAM_CHILD_H

#include <sys/types.h>

#include <string>
#include <vector>

#include "support/whole_file.h"

// The program of this build.
extern const char kBuiltProgram[];

// A fresh data root "/tmp/<prefix>XXXXXX" with the folders the program
// writes in and the identity files of the fixture; "" when that fails.
std::string layProgramRoot(const char* prefix, const std::string& fixture);

struct ProgramChildSetup {
  std::string root;                      // its "stdout.txt" and "stderr.txt" take the output
  std::string linkCommand;               // shell command run in the new namespace before the start
  const char* kickOff = "1";             // the KickOff variable; null: absent
  std::vector<std::string> environment;  // more NAME=value variables
};

// Forks and starts the program; the child's pid, -1 when fork fails. The
// child ends with 120 when it could not leave the test's namespace, 121
// when the link command failed and 122 when the program could not start.
pid_t forkProgram(const ProgramChildSetup& setup);

// The names of a process's threads, and whether one has the name.
std::vector<std::string> processThreadNames(pid_t pid);
bool processHasThread(pid_t pid, const std::string& name);

#endif
