// The time client "NTP": sets the wall clock from an SNTP server once at
// start, then every `ntp_update` seconds (15 s after a failure), and again
// with a fresh time zone after every saved configuration change.
//
// Replies are taken only from the server's address and port (the socket is
// connected) and only when they are plausible (RFC 4330: server mode, leap
// indicator not 3, stratum 1..15, a transmit time); anything else is a
// failed synchronisation.
#ifndef NET_TIME_NTPTASK_H
#define NET_TIME_NTPTASK_H

#include <atomic>
#include <cstdint>

#include "net/time/sntppacket.h"
#include "runtime/socket/connection.h"
#include "runtime/socket/ipaddress.h"
#include "runtime/task/task.h"

class InterfaceView;
class NetInterface;

// Seconds between tries after a failed synchronisation.
constexpr int kNtpRetrySeconds = 15;
// Reply time-out when none is set (1/100 s).
constexpr int64_t kNtpDefaultReplyTimeoutCs = 1000;

class NtpTask : public Task {
 public:
  explicit NtpTask(InterfaceView* nif);
  ~NtpTask() override;

  void run() override;
  // MSG_PARAMS_CHANGED asks for a resynchronisation; the flags come back
  // unchanged, so the change also ends the wait.
  int onMessage(const TaskMessage& msg) override;

  void buildRequest();
  // The 48 request bytes on the socket: the send result, negative on failure.
  int sendRequest();
  // One datagram within the reply time-out, checked; 1 when it holds a
  // usable time (then stored), else 0.
  int receiveReply();
  // Sets the wall clock to the received time; when that moved the program
  // clock, moves the task start times and the lease start with it. 0, or
  // -1 when the clock cannot be set.
  int setSystemClock();
  // One whole exchange with the configured server: 1 when the clock was set.
  int synchronize();
  // receiveReply, then setSystemClock: 0, or -1 when either failed.
  int onReply();
  // Event-loop handler of the socket: onReply of the task in the record.
  static int socketCallback(TaskEventRecord* record, uint32_t events);

  // 1/100 s; 0 or less: kNtpDefaultReplyTimeoutCs. Set before start.
  void setReplyTimeoutCs(int64_t cs) { replyTimeoutCs_ = cs; }
  // Synchronisations tried (a server configured), finished and succeeded
  // so far (any thread).
  int32_t attempts() const { return attempts_.load(); }
  int32_t finished() const { return finished_.load(); }
  int32_t successes() const { return successes_.load(); }

 private:
  // Waits until the program clock reaches deadlineCs or an event arrives:
  // true when it ended by an event.
  bool waitUntil(int64_t deadlineCs);
  // Resolve, open, send, receive, set: 1 when the clock was set.
  int exchange();
  void closeSocket();

  std::atomic<bool> resync_;
  Connection socket_;
  uint8_t packet_[kSntpPacketSize];
  IpAddress server_;
  int64_t receivedSeconds_ = 0;
  int64_t receivedMicros_ = 0;
  int64_t replyTimeoutCs_ = 0;
  TaskEventRecord socketEvent_;
  int64_t syncEndCs_ = 0;  // program clock at the end of the last synchronisation
  std::atomic<int32_t> attempts_{0};
  std::atomic<int32_t> finished_{0};
  std::atomic<int32_t> successes_{0};
};

// The server address of the last synchronisation (port 123), program-wide.
IpAddress ntpServerAddress();

// Creates and starts "NTP" on the interface; false when it could not start.
bool startTimeClient(NetInterface& nif);

#endif
