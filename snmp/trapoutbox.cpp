#include "snmp/trapoutbox.h"

#include <mutex>

#include "runtime/task/task.h"

namespace {

std::mutex outboxMutex;
bool outboxOpen = false;
int32_t agentId = -1;
bool wakeOutstanding = false;
SnmpTrapRecord queue[SNMP_TRAP_QUEUE_SIZE];
int queueHead = 0;   // oldest record
int queueCount = 0;

}  // namespace

bool queueSnmpTrap(const SnmpTrapRecord& record) {
    int32_t wakeId = -1;
    {
        std::lock_guard<std::mutex> lock(outboxMutex);
        if (!outboxOpen || queueCount == SNMP_TRAP_QUEUE_SIZE)
            return false;
        queue[(queueHead + queueCount) % SNMP_TRAP_QUEUE_SIZE] = record;
        queueCount++;
        if (!wakeOutstanding) {
            wakeOutstanding = true;
            wakeId = agentId;
        }
    }
    if (wakeId < 0)
        return true;
    TaskMessage msg{};
    msg.flags = MSG_TRAP_OUTBOX;
    if (postToTaskId(wakeId, msg) != 0) {
        // The agent is going: let the next record try again.
        std::lock_guard<std::mutex> lock(outboxMutex);
        wakeOutstanding = false;
    }
    return true;
}

void openTrapOutbox(int32_t agentTaskId) {
    std::lock_guard<std::mutex> lock(outboxMutex);
    outboxOpen = true;
    agentId = agentTaskId;
    wakeOutstanding = false;
    queueHead = queueCount = 0;
}

void closeTrapOutbox() {
    std::lock_guard<std::mutex> lock(outboxMutex);
    outboxOpen = false;
    agentId = -1;
    wakeOutstanding = false;
    queueHead = queueCount = 0;
}

int drainTrapOutbox(void (*send)(const SnmpTrapRecord& record, void* context), void* context) {
    int taken = 0;
    for (;;) {
        SnmpTrapRecord record;
        {
            std::lock_guard<std::mutex> lock(outboxMutex);
            if (taken == 0)
                wakeOutstanding = false;
            if (queueCount == 0)
                return taken;
            record = queue[queueHead];
            queueHead = (queueHead + 1) % SNMP_TRAP_QUEUE_SIZE;
            queueCount--;
        }
        send(record, context);
        taken++;
    }
}
