// Status of the firmware or software update, one set per process.
//
// Written by the update task and by the creators' quick check, read by the
// web pages and the mail reports from other threads. The words are atomic;
// the text is kept under a small lock of its own and handed out as a copy.
#ifndef MAINT_UPDATESTATUS_H
#define MAINT_UPDATESTATUS_H

#include <atomic>
#include <cstddef>
#include <string>

enum UpdateStateValue {
  UPDATE_IDLE = 0,
  UPDATE_ERROR = 1,
  UPDATE_ALIVE = 2,
  UPDATE_VERIFYING = 3,
  UPDATE_WORKING = 4,
  UPDATE_WAITING_FOR_RESTART = 5,
  UPDATE_RESTART = 6,
};

extern std::atomic<int> updateState;       // UpdateStateValue
extern std::atomic<int> updateResultCode;  // 7 header/CRC, 255 refused, 101 no file status, else 0
extern std::atomic<int> updateProgress;    // percent of the installation done

// The status text holds at most this many bytes with its terminator.
constexpr size_t kUpdateStatusTextSize = 128;

std::string updateStatusText();
// Keeps at most kUpdateStatusTextSize - 1 characters; null empties it.
void setUpdateStatusText(const char* text);

// State 0, empty text, progress 0, code 0.
void resetUpdateStatus();

#endif
