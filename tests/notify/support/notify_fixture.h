// In-process test environment of the notification task and the relay:
// parameters set per test and restored afterwards, the trap outbox open
// (the test drains it in place of the SNMP agent), mail hooks that record
// the codes handed over, and a wall clock the test sets.
#ifndef TESTS_NOTIFY_SUPPORT_NOTIFY_FIXTURE_H
#define TESTS_NOTIFY_SUPPORT_NOTIFY_FIXTURE_H

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "snmp/trapoutbox.h"

class Param;

class NotifyFixture : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Sets a parameter from text (hidden ones included), remembered for the
  // restore; fails the test when the key is unknown.
  void setParam(const char* key, const std::string& value);
  void setFeatures(uint32_t features);

  // Every record the outbox holds now, oldest first.
  std::vector<SnmpTrapRecord> drainTraps();

  // The codes the mail hook was handed, in order.
  std::vector<uint32_t> mailCodes();
  // Mailbox polls the hook saw.
  int mailboxPolls();
  // "ShutDown" starts the hook was asked for.
  int shutDownRequests();

  // Starts "Notify" and moves the program clock past its start wait;
  // true once its loop runs (its first mailbox poll).
  bool startRunningTask(bool trapsEnabled, int kickOff = 0);
  // Ends it with MSG_QUIT; true once it has let go of the globals.
  bool quitRunningTask();

  // The wall clock the task and the relay read: a UTC calendar time.
  static void setWallClock(int year, int month, int day, int hour, int minute);

  // Waits (bounded) until cond holds.
  static bool eventually(const std::function<bool()>& cond, int timeoutMs = 10000);
  // Moves the program clock past the loop's 30-second wait until cond holds:
  // again after each short look, since the loop may take its deadline only
  // after a move (a single move can be absorbed).
  static bool passLoopWaitUntil(const std::function<bool()>& cond);

 private:
  struct Saved {
    Param* param;
    std::string text;
  };
  std::vector<Saved> saved_;
  std::string savedTz_;
  bool hadTz_ = false;
};

// A text of one trap binding (the value as a string).
std::string trapText(const SnmpTrapRecord& record, int binding);

#endif
