// Tasks: the program's long-running activities.
//
// A Task owns one thread, a message pipe, an epoll set, a name and an id,
// and is registered in taskTable. Tasks talk only through 16-byte
// TaskMessage records written into the receiver's pipe; the receiver's
// handler (onMessage) runs only on the receiver's own thread, inside one of
// its waits (wait, pollEvents, receiveMessage, servePendingMessage).
//
// A task is created with new, started with start(), and deletes itself on
// its own thread when its thread ends (run returns, exit, MSG_QUIT, or a
// broken pipe read).
//
// Lock order: taskTableMutex before any task's pipeMutex. No post waits
// while the table lock is held: posts by name, id and broadcast write under
// the lock only when the receiver's pipe has room at once; a receiver with
// a full pipe is kept alive with a pin and served after the lock is
// released, with the bounded wait of Task::post.
#ifndef RUNTIME_TASK_TASK_H
#define RUNTIME_TASK_TASK_H

#include <atomic>
#include <cstdint>
#include <pthread.h>

// One message: always written and read as one 16-byte unit.
struct TaskMessage {
    int32_t target;  // receiver's id; post() overwrites it
    int32_t flags;   // MSG_* bits; other bits are free for task use
    int32_t param;   // event code for MSG_NOTIFY, else 0
    int32_t extra;   // always 0 in this program
};
static_assert(sizeof(TaskMessage) == 16, "TaskMessage is one 16-byte record");

// Message flags.
constexpr int32_t MSG_QUIT = 0x0002;             // receiver's thread ends; no handler call
constexpr int32_t MSG_NOTIFY = 0x0010;           // notification ring event; param = code
constexpr int32_t MSG_ADDRESS_CHANGED = 0x1000;  // interface IPv4 address was set
constexpr int32_t MSG_PARAMS_CHANGED = 0x4000;   // parameters were committed
constexpr int32_t MSG_WLAN_UP = 0x8000;          // WLAN association is up
// A handler result holding any of these bits ends Task::wait.
constexpr int32_t MSG_ENDS_WAIT = MSG_WLAN_UP | MSG_PARAMS_CHANGED | MSG_NOTIFY;  // 0xC010

// Results of Task::wait.
constexpr int WAIT_FAILED = 0;
constexpr int WAIT_TIMEOUT = 1;
constexpr int WAIT_WOKEN = 2;
constexpr int WAIT_FD_READY = 3;

// One registration in a task's epoll set; its address is the epoll user data.
struct TaskEventRecord {
    void* owner;  // callback context; null = disabled
    // Called by Task::pollEvents for a ready event; negative = owner has gone.
    int (*callback)(TaskEventRecord* record, uint32_t events);
    int32_t fd;  // registered descriptor; -1 = none
};

class Task {
public:
    // Builds the task and registers it in the first free slot of taskTable
    // (counted in taskTableOverflows when the table is full). The name text
    // is not copied: it must outlive the task. Ends the process with status
    // -1 when the pipe, the epoll set or the thread key cannot be created.
    explicit Task(const char* name);
    Task(const Task&) = delete;
    Task& operator=(const Task&) = delete;

    // Deregisters and closes what the base owns.
    virtual ~Task();
    // The task's body; the thread ends when it returns.
    virtual void run() = 0;
    // Ends the calling thread; never returns.
    [[noreturn]] virtual void exit();
    // Runs once on the task's own thread when the thread ends, however it
    // ends (run returns, exit, MSG_QUIT), before the task leaves taskTable
    // and is deleted: the place to release what the task holds in shared
    // structures. currentTask() is this task meanwhile. Must not wait for
    // messages. The base does nothing.
    virtual void onEnd() {}
    // Handles one message; returns its flags less the bits it consumed.
    // The base returns every bit, so MSG_ENDS_WAIT bits end the wait.
    virtual int onMessage(const TaskMessage& msg);
    // Writes msg (target set to this task's id) into the pipe with one
    // write; 0 when all 16 bytes went, else -1. Any thread. A full pipe is
    // waited for at most TASK_FULL_PIPE_WAIT_MS (not at all while the
    // caller holds TLOCK, nor again while this pipe stays full after a wait
    // ran out); then the message is lost and counted in taskPostsLost.
    virtual int post(TaskMessage msg);

    // Creates the thread (detached unless joinable) with at least the thread
    // library's default stack; the id is handed out under TLOCK. Returns the
    // id, or -1 when the thread could not be created. On -1 the task is
    // taken out of taskTable again, its id is -1 and the object stays valid:
    // the CALLER then owns it and must delete it.
    int start(int32_t stackBytes, int joinable = 0);

    // The calls below run only on the task's own thread.

    // Reads one message and returns the handler's result; a short read or
    // MSG_QUIT ends the thread.
    int receiveMessage();
    // Sleeps serving messages for timeoutCs (1/100 s; 0 = just look,
    // negative = no limit), also watching extraFd when > 0. Returns
    // WAIT_FAILED, WAIT_TIMEOUT, WAIT_WOKEN (a handler result with a
    // MSG_ENDS_WAIT bit) or WAIT_FD_READY (a message ending the wait wins).
    int wait(int64_t timeoutCs, int extraFd = -1);
    // Receives exactly one message when the pipe holds data: 1, else 0.
    int servePendingMessage();
    // epoll_ctl ADD / DEL / MOD; epoll_ctl's result.
    int addEvent(TaskEventRecord* record, uint32_t events);
    int removeEvent(int fd);
    int modifyEvent(TaskEventRecord* record, uint32_t events);
    // One epoll wait (ms, -1 forever) for at most 4 events and their
    // dispatch; the number of events, negative on error. When a callback
    // returns a negative value, later records of the batch with the same
    // owner are disabled (owner cleared).
    int pollEvents(int timeoutMs);

    // Scans of taskTable under TLOCK read only stackSize, createdCs,
    // threadSelf, pid, id and name.
    int32_t stackSize;    // stack the thread was given; 0 before start
    int64_t createdCs;    // uptimeCs at construction (moved by shiftTaskStartTimes)
    pthread_t threadSelf; // recorded by the thread at start
    int32_t pid;          // kernel id of the task's thread
    int32_t ppid;         // getppid() seen by the thread at start
    int32_t id;           // 0 constructed, > 0 started, -1 start failed
    pthread_t thread;     // handle from thread creation; used for signals
    const char* name;
    int32_t epollFd;
    pthread_mutex_t pipeMutex;  // serialises writers of the pipe
    int32_t pipeRead;
    int32_t pipeWrite;
    TaskEventRecord pipeEvent;  // owner this, taskPipeEventCallback, pipeRead
    // Posters that found this task's pipe full under TLOCK and finish their
    // post after releasing it; the task is not destroyed before they are done.
    std::atomic<int32_t> postPins;
    std::atomic<bool> ending;       // out of the table, waiting for its pins
    std::atomic<bool> pipeClogged;  // a wait for room ran out; cleared by the next write
};

// Callback of a task's pipe record: the owner's receiveMessage, or 0.
int taskPipeEventCallback(TaskEventRecord* record, uint32_t events);

// Every system task, the USB connections and the web server's request
// tasks fit.
constexpr int TASK_TABLE_SIZE = 128;
// Listeners that start a task per client leave this many slots free, so
// the system's own tasks always find one.
constexpr int TASK_SLOTS_KEPT_FOR_SYSTEM = 16;
// Longest wait of a post for room in a full pipe.
constexpr int TASK_FULL_PIPE_WAIT_MS = 100;
// Registered tasks (null = free slot). Read and written only under TLOCK.
extern Task* taskTable[TASK_TABLE_SIZE];
// Recursive; taken only through TLOCK.
extern pthread_mutex_t taskTableMutex;
// Last id handed out (under TLOCK).
extern int32_t taskIdCounter;
// Tasks that found no free slot in taskTable.
extern std::atomic<int32_t> taskTableOverflows;
// Messages dropped because the receiver's pipe stayed full.
extern std::atomic<int32_t> taskPostsLost;

// True when a listener may start one more task for a new client: the table
// then still has TASK_SLOTS_KEPT_FOR_SYSTEM free slots.
bool taskTableHasRoomForClient();

// Posts to every registered task with exactly this name; how many.
int postToTasksNamed(const char* name, TaskMessage msg);
// Posts to the first registered task with this id; the post's result, or -1
// when there is no such task.
int postToTaskId(int32_t id, TaskMessage msg);
// Posts to every registered task, the caller included; 0 when every post
// went, -1 when some failed.
int broadcastToTasks(TaskMessage msg);
// Sends sig to the thread of every started registered task except the
// calling thread; with a name only to tasks of that name. How many.
int signalOtherTasks(const char* name, int sig);
// Adds deltaCs to every registered task's createdCs.
void shiftTaskStartTimes(int64_t deltaCs);

// The calling thread's task, or null (main thread, foreign threads).
Task* currentTask();
// Its id, -1 when not a task.
int32_t currentTaskId();
int32_t currentTaskIdForLog();
// Its name, "NoTask" when not a task.
const char* currentTaskName();

// Locks taskTableMutex: 1 locked; 0 after printing "TLOCK[id] failed!".
int TLOCK();
void unlockTaskTable();
// TLOCK and unlock at once (a barrier); TLOCK's result.
int syncTaskTable();

// Tests: replaces thread creation (null restores pthread_create), so that
// start failures can be simulated.
using TaskThreadCreator = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
void setTaskThreadCreatorForTesting(TaskThreadCreator creator);

#endif
