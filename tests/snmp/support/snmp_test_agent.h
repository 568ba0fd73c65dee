// An SNMP agent inside the test process, serving the private MIB on
// 127.0.0.1:161 of a network namespace of the process's own, queried with
// Debian's snmpget/snmpset/snmpwalk. The library's state is global, so one
// agent per process: it starts on first use and runs until the process ends.
#ifndef TESTS_SNMP_SUPPORT_SNMP_TEST_AGENT_H
#define TESTS_SNMP_SUPPORT_SNMP_TEST_AGENT_H

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

// Object whose ACTION always fails (commitFailed): puts a SET into UNDO.
constexpr char kFailingObject[] = ".1.3.6.1.4.1.99999.1.0";

// Starts the agent once; false with the reason when it cannot run here.
bool startTestAgent(std::string* reason);

// Lays the identity fixture into a data root of the process's own and
// applies the model to the parameter store, once per process: false when
// another model was applied before (the store cannot be put back).
bool useModel(const std::string& fixture, std::string* reason);
// The data root useModel made.
const std::string& testDataRoot();

struct CommandResult {
  int status = -1;
  std::string output;  // standard output and standard error
};
// Runs a shell command line with a time limit.
CommandResult runCommand(const std::string& command);

// One varbind of the tools' -On -Ox output.
struct SnmpAnswer {
  std::string oid;    // ".1.3.6..."
  std::string type;   // "INTEGER", "Hex-STRING", "STRING" (empty), "IpAddress", ...
  std::string value;  // the text after "TYPE: " ("" for an empty string)
};
std::vector<SnmpAnswer> parseAnswers(const std::string& output);

// snmpget/snmpset/snmpwalk with the community "tavrin" against the agent
// ("-v2c" or "-v1" as version), numeric OIDs, strings in hex.
CommandResult snmpTool(const std::string& tool, const std::string& version, const std::string& arguments);

// The error name of a refused SET ("wrongType", ...) from the tool's output, "" when none.
std::string snmpErrorName(const std::string& output);

// Lines "call wrapper <key>" that the write path printed while fn ran.
template <typename Fn>
std::vector<std::string> wrapperLinesDuring(Fn fn);

std::vector<std::string> wrapperLinesOf(const std::string& captured);

// A walk of the private subtree (snmpwalk -On -Ox output) against the
// parameter store of this process: the objects that answer must be exactly
// the visible parameters of the table, the index and count objects and the
// identity objects, in strictly increasing order, each parameter's value
// worked out from its saved text. Volatile parameters (values the running
// program reports) are checked for presence only unless compareVolatile.
struct WalkComparison {
  std::vector<std::string> differences;
  size_t parameterObjects = 0;  // parameter objects that answered as expected
  size_t identityObjects = 0;
};
WalkComparison compareWalkWithStore(const std::string& walkOutput, bool compareVolatile);

// Bytes as the tools print them with -Ox ("41 42").
std::string hexOf(const std::string& bytes);

// Restarts asked through the control object since the agent started.
int restartsRequested();

template <typename Fn>
std::vector<std::string> wrapperLinesDuring(Fn fn) {
  std::fflush(stdout);
  ::testing::internal::CaptureStdout();
  fn();
  std::fflush(stdout);
  return wrapperLinesOf(::testing::internal::GetCapturedStdout());
}

#endif
