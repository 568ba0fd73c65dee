// The program clock. Readings come from the board's tick counter when one is
// installed, else from CLOCK_MONOTONIC at 100 Hz (64 bits, no wrap). Each
// source has its own offset; when the source changes, the new offset is
// chosen so that the clock continues from where it was.
#include "runtime/task/uptime.h"

#include <atomic>
#include <mutex>
#include <time.h>

namespace {

using TickReader = bool (*)(int64_t*);

struct ProgramClock {
    std::mutex lock;
    TickReader board = nullptr;  // installed reader (guarded)
    bool boardFailed = false;    // the installed reader failed once
    bool started = false;        // zero point taken
    bool lastFromBoard = false;  // source of the last reading
    bool rebase = false;         // a reader was installed or removed since
    int64_t offset = 0;          // value = raw + offset for the current source
    int64_t last = 0;            // last value (before the test shift)
    int64_t processAtLast = 0;   // process clock at the last reading
    int64_t testShift = 0;
};

ProgramClock& programClock() {
    static ProgramClock clock;
    return clock;
}

int64_t processCs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 100 + ts.tv_nsec / 10000000;
}

}  // namespace

int64_t uptimeCs() {
    ProgramClock& c = programClock();
    TickReader reader;
    {
        std::lock_guard<std::mutex> g(c.lock);
        reader = c.boardFailed ? nullptr : c.board;
    }
    // The board reader takes the board device's lock: call it without ours.
    int64_t boardTicks = 0;
    bool boardOk = reader != nullptr && reader(&boardTicks);
    int64_t process = processCs();

    std::lock_guard<std::mutex> g(c.lock);
    bool sameReader = reader != nullptr && reader == c.board && !c.boardFailed;
    if (sameReader && !boardOk)
        c.boardFailed = true;
    bool fromBoard = sameReader && boardOk;
    int64_t raw = fromBoard ? boardTicks : process;

    if (!c.started) {
        c.started = true;
        c.offset = -raw;
    } else if (fromBoard != c.lastFromBoard || c.rebase) {
        // Continue from the last value plus the time elapsed since then.
        int64_t elapsed = process - c.processAtLast;
        int64_t now = c.last + (elapsed > 0 ? elapsed : 0);
        c.offset = now - raw;
    }
    c.lastFromBoard = fromBoard;
    c.rebase = false;
    int64_t value = raw + c.offset;
    if (value < c.last)
        value = c.last;
    c.last = value;
    c.processAtLast = process;
    return value + c.testShift;
}

int64_t taskClock() {
    return uptimeCs();
}

void setBoardTickSource(bool (*readTicks)(int64_t* cs)) {
    ProgramClock& c = programClock();
    std::lock_guard<std::mutex> g(c.lock);
    c.board = readTicks;
    c.boardFailed = false;
    c.rebase = true;
}

void shiftUptimeForTesting(int64_t deltaCs) {
    ProgramClock& c = programClock();
    std::lock_guard<std::mutex> g(c.lock);
    c.testShift += deltaCs;
}

void resetUptimeForTesting() {
    ProgramClock& c = programClock();
    std::lock_guard<std::mutex> g(c.lock);
    c.board = nullptr;
    c.boardFailed = false;
    c.started = false;
    c.lastFromBoard = false;
    c.rebase = false;
    c.offset = 0;
    c.last = 0;
    c.processAtLast = 0;
    c.testShift = 0;
}
