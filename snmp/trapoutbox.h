// Trap outbox: the one way other threads hand SNMP traps to the agent.
//
// The SNMP library is not reentrant, so only the agent's thread calls it.
// Any thread queues a plain-data record here; the agent drains the queue on
// its own thread and sends each record.
#ifndef SNMP_TRAPOUTBOX_H
#define SNMP_TRAPOUTBOX_H

#include <cstddef>
#include <cstdint>

constexpr int SNMP_TRAP_MAX_VARBINDS = 6;
constexpr int SNMP_TRAP_MAX_OID = 24;       // sub-identifiers of one varbind OID
constexpr int SNMP_TRAP_MAX_VALUE = 160;    // bytes of one varbind value
constexpr int SNMP_TRAP_QUEUE_SIZE = 64;    // records waiting at most

struct SnmpTrapVarbind {
    uint32_t oid[SNMP_TRAP_MAX_OID];
    int32_t oidLength;
    uint8_t type;         // ASN type byte ('i' INTEGER 0x02, OCTET STRING 0x04, ...)
    int32_t valueLength;
    uint8_t value[SNMP_TRAP_MAX_VALUE];
};

struct SnmpTrapRecord {
    bool easy;            // true: generic/specific only (send_easy_trap)
    int32_t generic;      // 6 = enterprise-specific
    int32_t specific;
    int32_t varbindCount;
    SnmpTrapVarbind varbinds[SNMP_TRAP_MAX_VARBINDS];
};

// Any thread. Copies the record into the queue and wakes the agent.
// False when no agent runs or the queue is full: nothing is sent or counted.
bool queueSnmpTrap(const SnmpTrapRecord& record);

// Agent side. The agent opens the outbox when it starts (with its task id,
// which the wake-up is posted to) and closes it when it ends; a closed
// outbox refuses records and drops what is queued.
void openTrapOutbox(int32_t agentTaskId);
void closeTrapOutbox();
// Agent thread: takes every queued record, oldest first, and calls send for
// each; returns how many were taken. Clears the wake-up mark first, so a
// record queued meanwhile posts a new wake-up.
int drainTrapOutbox(void (*send)(const SnmpTrapRecord& record, void* context), void* context);

// The message flag of the agent's wake-up (a bit free for task use).
constexpr int32_t MSG_TRAP_OUTBOX = 0x00100000;

#endif
