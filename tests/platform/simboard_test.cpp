#include "platform/board/simboard.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <future>
#include <string>

#include "support/control_client.h"

namespace {

std::string readAvailable(int fd, int timeoutMs) {
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, timeoutMs) <= 0) return "";
  char buf[64];
  ssize_t n = ::read(fd, buf, sizeof buf);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
}

class SimBoardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/simboardXXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    ASSERT_TRUE(board_.open());
  }
  void TearDown() override {
    board_.stopControlSocket();
    std::string cmd = "rm -rf '" + dir_ + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
  }
  std::string dir_;
  SimBoard board_;
};

TEST_F(SimBoardTest, DefaultsAreAHealthyPatternBoardWithoutCardReader) {
  uint32_t word = 0;
  EXPECT_EQ(board_.control(boardreq::kReadInputs, &word), 0);
  EXPECT_EQ(word, 3u);
  EXPECT_EQ(board_.control(boardreq::kLegacyLedQuery, &word), -1);
  EXPECT_EQ(board_.control(boardreq::kCardReader, &word), -1);
  EXPECT_EQ(board_.control(boardreq::kStartQuery, &word), 0);
  ASSERT_TRUE(board_.openButtonControl());
  DisplayFrame frame{{0xffffffff, 0, 0, 0, 0}};
  EXPECT_EQ(board_.buttonControl(boardreq::kButtonMaskQuery, &frame), 0);
  EXPECT_EQ(frame.word[0], 1u);
}

// A day of USB traffic shows thousands of patterns: the board keeps only
// the most recent ones, as it does with its log.
TEST_F(SimBoardTest, PatternAndLegacyLedHistoriesAreBounded) {
  const uint32_t total = static_cast<uint32_t>(SimBoard::kHistoryLimit) + 500;
  for (uint32_t i = 0; i < total; ++i) {
    LedPattern p{0x300, i, 0, 0, 0};
    ASSERT_EQ(board_.control(boardreq::kShowPattern, &p), 0);
    ASSERT_EQ(board_.controlValue(boardreq::kLegacyLed, i), 0);
  }
  const std::vector<LedPattern> patterns = board_.patterns();
  ASSERT_EQ(patterns.size(), SimBoard::kHistoryLimit);
  EXPECT_EQ(patterns.front().bits, total - SimBoard::kHistoryLimit);
  EXPECT_EQ(patterns.back().bits, total - 1);
  const std::vector<uint32_t> words = board_.legacyLedWords();
  ASSERT_EQ(words.size(), SimBoard::kHistoryLimit);
  EXPECT_EQ(words.back(), total - 1);
}

TEST_F(SimBoardTest, OutputsLandInStateAndTimestampedLog) {
  uint32_t mask = 0x5;
  ASSERT_EQ(board_.control(boardreq::kOutputsOn, &mask), 0);
  mask = 0x1;
  ASSERT_EQ(board_.control(boardreq::kOutputsOff, &mask), 0);
  LedPattern p{0x300, 0x100, 0, 0, 0};
  ASSERT_EQ(board_.control(boardreq::kShowPattern, &p), 0);
  ASSERT_EQ(board_.controlValue(boardreq::kLegacyLed, 0x228), 0);
  DisplayFrame d{{('E' << 24) | ('1' << 8) | '.', 11, 15, 1, 200}};
  ASSERT_EQ(board_.control(boardreq::kDisplay, &d), 0);
  BoardLedFrame f{{0x300, 0, 0}, {0x100, 0, 0}, {0, 0, 0}};
  ASSERT_EQ(board_.control(boardreq::kBoardLeds278, &f), 0);

  EXPECT_EQ(board_.outputs(), 0x4u);
  EXPECT_EQ(board_.litLeds(), 0x100u);
  EXPECT_EQ(board_.displayText(), "E1.");
  EXPECT_EQ(board_.boardLeds(0), 0x100u);
  ASSERT_EQ(board_.legacyLedWords().size(), 1u);

  auto log = board_.log();
  ASSERT_EQ(log.size(), 6u);
  EXPECT_EQ(log[0].text, "outputs on 0x00000005");
  EXPECT_EQ(log[1].text, "outputs off 0x00000001");
  EXPECT_EQ(log[2].text, "pattern mask=0x300 bits=0x100 length=0x0 repeat=0 period=0");
  EXPECT_EQ(log[3].text, "legacy-led 0x00000228");
  EXPECT_EQ(log[4].text, "display \"E1.\" blink=11,15,1,200");
  for (size_t i = 1; i < log.size(); ++i) EXPECT_GE(log[i].ms, log[i - 1].ms);

  // Reading port LEDs answers the asked bits that are lit.
  uint32_t ask = 0x10100;
  ASSERT_EQ(board_.control(boardreq::kReadPortLeds, &ask), 0);
  EXPECT_EQ(ask, 0x100u);
}

TEST_F(SimBoardTest, ClosedOrFailingRequestsAnswerMinusOne) {
  board_.failRequest(boardreq::kTicks, true);
  uint64_t t = 0;
  EXPECT_EQ(board_.control(boardreq::kTicks, &t), -1);
  board_.failRequest(boardreq::kTicks, false);
  EXPECT_EQ(board_.control(boardreq::kTicks, &t), 0);
  board_.close();
  uint32_t mask = 1;
  EXPECT_EQ(board_.control(boardreq::kOutputsOn, &mask), -1);
  EXPECT_EQ(board_.outputs(), 0u);
  board_.setPresent(false);
  EXPECT_FALSE(board_.open());
}

TEST_F(SimBoardTest, TickCounterRunsAndCanBeHeldSetAndMoved) {
  board_.holdTicks(true);
  board_.setTicks(5000);
  uint64_t t = 0;
  ASSERT_EQ(board_.control(boardreq::kTicks, &t), 0);
  EXPECT_EQ(t, 5000u);
  board_.advanceTicks(6000);
  EXPECT_EQ(board_.ticks(), 11000);
  board_.holdTicks(false);
  EXPECT_GE(board_.ticks(), 11000);
  EXPECT_LT(board_.ticks(), 11000 + 100 * 60);
}

TEST_F(SimBoardTest, PressReportsFollowTheLongPressTimeTheProgramSet) {
  int fd = board_.openButton(0);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(board_.openButton(1), -1) << "only button 0 is present by default";
  EXPECT_TRUE(board_.pressButton(0, 3499));
  EXPECT_EQ(readAvailable(fd, 1000), "0");
  EXPECT_TRUE(board_.pressButton(0, 3500));
  EXPECT_EQ(readAvailable(fd, 1000), "1");

  ASSERT_TRUE(board_.openButtonControl());
  DisplayFrame times{{1, 0, 2000, 2050, 0}};
  ASSERT_EQ(board_.buttonControl(boardreq::kButtonSetTimes, &times), 0);
  EXPECT_TRUE(board_.pressButton(0, 2000));
  EXPECT_EQ(readAvailable(fd, 1000), "1");

  board_.closeButton(fd);
  EXPECT_FALSE(board_.pressButton(0, 100)) << "nobody listens any more";
}

TEST_F(SimBoardTest, TextCommandsSetInputs) {
  struct Case {
    const char* command;
    uint32_t request;
    int result;
    uint32_t word;
  };
  const Case cases[] = {
      {"psu 1 0", boardreq::kReadInputs, 0, 0x1},
      {"psu 0 1", boardreq::kReadInputs, 0, 0x2},
      {"inputs 0", boardreq::kReadInputs, 0, 0x0},
      {"card 1", boardreq::kCardReader, 0, 1},
      {"card 0", boardreq::kCardReader, 0, 0},
      {"card none", boardreq::kCardReader, -1, 0x77},
      {"legacy 1", boardreq::kLegacyLedQuery, 0, 0},
      {"ledmask 0x0f0f", boardreq::kLedMaskQuery, 0, 0x0f0f},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    EXPECT_EQ(board_.command(c.command), "ok\n");
    uint32_t frame[5] = {0x77, 0, 0, 0, 0};
    EXPECT_EQ(board_.control(c.request, frame), c.result);
    EXPECT_EQ(frame[0], c.word);
  }
  EXPECT_EQ(board_.command("ticks hold"), "ok\n");
  EXPECT_EQ(board_.command("ticks 200"), "ok\n");
  EXPECT_EQ(board_.command("ticks +6000"), "ok\n");
  EXPECT_EQ(board_.command("ticks -100"), "ok\n");
  EXPECT_EQ(board_.command("ticks"), "6100\nok\n");

  const char* bad[] = {"psu 1", "button 9 short", "button 0 twist", "ticks x", "card -2", "bogus", "fail"};
  for (const char* b : bad) EXPECT_EQ(board_.command(b).compare(0, 6, "error "), 0) << b;
}

TEST_F(SimBoardTest, ControlSocketDrivesAPressFromOutside) {
  std::string path = dir_ + "/simboard.ctl";
  ASSERT_TRUE(board_.startControlSocket(path));
  int fd = board_.openButton(0);
  ASSERT_GE(fd, 0);

  auto outside = std::async(std::launch::async, [path] {
    ControlClient client(path);
    if (!client.connected()) return std::string("no connection");
    std::string answers = client.ask("button 0 press 3000");
    answers += client.ask("button 0 press 4000");
    answers += client.ask("button 3 short");
    return answers;
  });
  ASSERT_EQ(outside.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  EXPECT_EQ(outside.get(), "ok\nok\nerror button 3 is not open\n");
  std::string reports = readAvailable(fd, 1000);
  if (reports.size() < 2) reports += readAvailable(fd, 1000);
  EXPECT_EQ(reports, "01");
  board_.closeButton(fd);
}

TEST_F(SimBoardTest, ControlSocketDumpsTheOutputLogAndState) {
  std::string path = dir_ + "/simboard.ctl";
  ASSERT_TRUE(board_.startControlSocket(path));
  uint32_t mask = 0x80000000;
  ASSERT_EQ(board_.control(boardreq::kOutputsOn, &mask), 0);

  ControlClient client(path);
  ASSERT_TRUE(client.connected());
  std::string dump = client.ask("dump");
  EXPECT_NE(dump.find(" outputs on 0x80000000\n"), std::string::npos) << dump;
  EXPECT_EQ(dump.substr(dump.size() - 3), "ok\n");
  std::string state = client.ask("state");
  EXPECT_NE(state.find("outputs 0x80000000\n"), std::string::npos) << state;
  EXPECT_NE(state.find("inputs 0x00000003\n"), std::string::npos) << state;
  EXPECT_EQ(client.ask("clear"), "ok\n");
  EXPECT_EQ(client.ask("dump"), "ok\n");
  EXPECT_EQ(client.ask("nonsense 1").compare(0, 6, "error "), 0);
}

TEST_F(SimBoardTest, StoppingTheSocketRemovesItAndIgnoresAVanishedClient) {
  std::string path = dir_ + "/simboard.ctl";
  ASSERT_TRUE(board_.startControlSocket(path));
  uint32_t mask = 1;
  for (int i = 0; i < 200; ++i) ASSERT_EQ(board_.control(boardreq::kOutputsOn, &mask), 0);
  // Clients that leave before their (long) answer must not hurt the board.
  for (int i = 0; i < 3; ++i) {
    ControlClient client(path);
    ASSERT_TRUE(client.connected());
    client.sendOnly("dump");
  }
  ControlClient late(path);
  ASSERT_TRUE(late.connected());
  EXPECT_EQ(late.ask("psu 0 0"), "ok\n");
  board_.stopControlSocket();
  EXPECT_NE(::access(path.c_str(), F_OK), 0);
}

}  // namespace
