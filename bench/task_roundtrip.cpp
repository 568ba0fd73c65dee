// Message round trip between two tasks (post, then wait for the answer)
// against a plain pipe ping-pong between two threads that poll() before
// each read, measured in the same run.
#include "runtime/task/task.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int32_t kPing = 0x00010000;  // task-specific bit: not ending a wait
constexpr int32_t kPong = MSG_NOTIFY;  // ends the pinger's wait

struct Done {
    std::mutex m;
    std::condition_variable cv;
    int ended = 0;
    double seconds = 0;
    void end() {
        std::lock_guard<std::mutex> g(m);
        ++ended;
        cv.notify_all();
    }
    void waitFor(int n) {
        std::unique_lock<std::mutex> g(m);
        cv.wait(g, [&] { return ended >= n; });
    }
};

class Ponger : public Task {
public:
    Ponger(Done& done) : Task("Ponger"), done_(done) {}
    ~Ponger() override { done_.end(); }
    Task* peer = nullptr;
    void run() override {
        for (;;)
            wait(-1);
    }
    int onMessage(const TaskMessage& msg) override {
        if (msg.flags & kPing)
            peer->post(TaskMessage{0, kPong, msg.param, 0});
        return msg.flags & ~kPing;
    }

private:
    Done& done_;
};

class Pinger : public Task {
public:
    Pinger(Done& done, Task* peer, int rounds) : Task("Pinger"), done_(done), peer_(peer), rounds_(rounds) {}
    ~Pinger() override { done_.end(); }
    void run() override {
        auto t0 = Clock::now();
        for (int i = 0; i < rounds_; ++i) {
            peer_->post(TaskMessage{0, kPing, i, 0});
            if (wait(-1) != WAIT_WOKEN) {
                fprintf(stderr, "unexpected wait result\n");
                std::abort();
            }
        }
        std::lock_guard<std::mutex> g(done_.m);
        done_.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    }

private:
    Done& done_;
    Task* peer_;
    int rounds_;
};

// Seconds for `rounds` task round trips.
double taskRoundTrips(int rounds) {
    Done done;
    auto* ponger = new Ponger(done);
    auto* pinger = new Pinger(done, ponger, rounds);
    ponger->peer = pinger;
    if (ponger->start(20480) < 0 || pinger->start(20480) < 0) {
        fprintf(stderr, "task start failed\n");
        std::exit(1);
    }
    done.waitFor(1);  // the pinger ends after its last round trip
    ponger->post(TaskMessage{0, MSG_QUIT, 0, 0});
    done.waitFor(2);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // let the threads leave
    return done.seconds;
}

bool readOne(int fd, TaskMessage* m) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, -1) != 1)
        return false;
    return read(fd, m, sizeof *m) == static_cast<ssize_t>(sizeof *m);
}

// Seconds for `rounds` plain pipe round trips between two threads.
double pipeRoundTrips(int rounds) {
    int toPonger[2], toPinger[2];
    if (pipe(toPonger) != 0 || pipe(toPinger) != 0) {
        perror("pipe");
        std::exit(1);
    }
    std::thread ponger([&] {
        TaskMessage m{};
        for (int i = 0; i < rounds; ++i) {
            if (!readOne(toPonger[0], &m))
                std::abort();
            m.flags = kPong;
            if (write(toPinger[1], &m, sizeof m) != static_cast<ssize_t>(sizeof m))
                std::abort();
        }
    });
    double seconds = 0;
    std::thread pinger([&] {
        auto t0 = Clock::now();
        TaskMessage m{};
        for (int i = 0; i < rounds; ++i) {
            m = TaskMessage{0, kPing, i, 0};
            if (write(toPonger[1], &m, sizeof m) != static_cast<ssize_t>(sizeof m))
                std::abort();
            if (!readOne(toPinger[0], &m))
                std::abort();
        }
        seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    });
    pinger.join();
    ponger.join();
    for (int fd : {toPonger[0], toPonger[1], toPinger[0], toPinger[1]})
        close(fd);
    return seconds;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = argc > 1 ? std::atoi(argv[1]) : 100000;
    int repeats = argc > 2 ? std::atoi(argv[2]) : 5;
    if (rounds <= 0 || repeats <= 0) {
        fprintf(stderr, "usage: %s [rounds] [repeats]\n", argv[0]);
        return 2;
    }
    taskRoundTrips(rounds / 10 + 1);  // warm up
    pipeRoundTrips(rounds / 10 + 1);
    std::vector<double> taskUs, pipeUs;
    for (int r = 0; r < repeats; ++r) {
        taskUs.push_back(taskRoundTrips(rounds) * 1e6 / rounds);
        pipeUs.push_back(pipeRoundTrips(rounds) * 1e6 / rounds);
    }
    double t = median(taskUs), p = median(pipeUs);
    printf("rounds %d x %d (median)\n", rounds, repeats);
    printf("task round trip:  %.3f us\n", t);
    printf("pipe round trip:  %.3f us\n", p);
    printf("ratio task/pipe:  %.2f\n", t / p);
    return 0;
}
