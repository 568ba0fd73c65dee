// The choice of the board driver.
//
// The real driver when mapPath("/dev/gpio") is a character device; else the
// simulated board when mapPath("/dev/gpio.sim") exists or
// useSimulatedBoard(true) was called; else no board at all.
#ifndef PLATFORM_BOARD_BOARDSELECT_H
#define PLATFORM_BOARD_BOARDSELECT_H

#include <memory>

class BoardDriver;
class SimBoard;

enum class BoardKind { None, Real, Simulated };

// Asks for the simulated board where no real board device exists.
void useSimulatedBoard(bool use);

// The kind the data root offers now.
BoardKind chooseBoardKind();

// A driver of the chosen kind, null for none. A simulated board first runs
// the commands of mapPath("/dev/gpio.sim") (when present) and serves its
// control socket at mapPath("/var/simboard.ctl").
std::unique_ptr<BoardDriver> createBoardDriver();

// The simulated board made by createBoardDriver while it exists, else null.
SimBoard* currentSimBoard();

#endif
