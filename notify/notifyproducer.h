// The producer side of the notification ring, for any thread.
//
// The producer lock (outside the task object) is held from reading
// notifyTask to the end of the push, and the task clears notifyTask under
// it before it goes: a producer never writes into a task that has ended.
// A push is announced with MSG_NOTIFY only while no announcement is
// outstanding; the task clears the mark just before it scans the ring, so
// a storm of events costs one message per scan, never a full pipe.
#ifndef NOTIFY_NOTIFYPRODUCER_H
#define NOTIFY_NOTIFYPRODUCER_H

#include <cstdint>
#include <mutex>

// Pushes one event when the notification task runs and something is
// configured, and announces it; false when nothing was pushed. Null texts
// are stored as "-?-".
bool produceNotifyEvent(uint32_t code, int32_t value, const char* manufacturer = nullptr,
                        const char* product = nullptr, const char* serial = nullptr,
                        const char* host = nullptr);

// Posts {MSG_NOTIFY, code} to the notification task: 1 when posted, 0 when
// no task runs or the post failed.
int postNotifyEvent(uint32_t code);

// The producer lock; the task takes it to change notifyTask/notifyTaskId.
std::mutex& notifyProducerMutex();

// The announcement mark: set by the producer that posts, cleared by the
// task before it scans (and by a failed post).
bool claimNotifyAnnouncement();
void clearNotifyAnnouncement();
bool notifyAnnouncementOutstanding();

#endif
