#include "platform/board/boardselect.h"

#include <sys/stat.h>

#include <atomic>
#include <cstdio>

#include "platform/board/gpioboarddriver.h"
#include "platform/board/simboard.h"
#include "runtime/file/paths.h"

namespace {

std::atomic<bool> simulatedWanted{false};
std::atomic<SimBoard*> programSimBoard{nullptr};

// The simulated board of the program: known to currentSimBoard while it lives.
class ProgramSimBoard : public SimBoard {
 public:
  ProgramSimBoard() { programSimBoard.store(this); }
  ~ProgramSimBoard() override {
    SimBoard* self = this;
    programSimBoard.compare_exchange_strong(self, nullptr);
  }
};

}  // namespace

void useSimulatedBoard(bool use) { simulatedWanted.store(use); }

BoardKind chooseBoardKind() {
  struct stat st;
  if (::stat(mapPath("/dev/gpio").c_str(), &st) == 0 && S_ISCHR(st.st_mode)) return BoardKind::Real;
  if (simulatedWanted.load() || ::stat(mapPath("/dev/gpio.sim").c_str(), &st) == 0) return BoardKind::Simulated;
  return BoardKind::None;
}

std::unique_ptr<BoardDriver> createBoardDriver() {
  switch (chooseBoardKind()) {
    case BoardKind::Real:
      return std::unique_ptr<BoardDriver>(new GpioBoardDriver);
    case BoardKind::Simulated: {
      std::unique_ptr<ProgramSimBoard> board(new ProgramSimBoard);
      board->runCommandFile(mapPath("/dev/gpio.sim"));
      std::string ctl = mapPath("/var/simboard.ctl");
      if (!board->startControlSocket(ctl)) std::fprintf(stderr, "simboard: no control socket at %s\n", ctl.c_str());
      return std::unique_ptr<BoardDriver>(board.release());
    }
    case BoardKind::None:
      break;
  }
  return nullptr;
}

SimBoard* currentSimBoard() { return programSimBoard.load(); }
