// A client connection of the USB server: the event source of the client
// socket, the context every request handler receives, and the connection
// task "UsbSrvdPrcs" that serves it.
//
// Threads. Each connection has one task. Only that task writes to its
// client and closes (or unwatches) the usbfs handles of the rows it owns.
// Other threads that must take a row from its owner, or tell the owner
// something, go through usbrowhandover.h: they change the row under its
// mutex and hand the row's handle, event source and transfers to the
// owner's task, which finishes the job (notice, close, free) on its own
// thread. Row fields may be read without the row mutex; they are changed
// under it.
#ifndef USBSERVER_CONNECTIONS_USBCONNECTION_H
#define USBSERVER_CONNECTIONS_USBCONNECTION_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "usbserver/connections/usbeventsource.h"
#include "usbserver/protocol/wireprotocol.h"
#include "usbserver/transfers/urbengine.h"

struct iovec;
class TlsConnection;
class UsbConnection;
struct UsbHandover;
struct UrbQueueBudget;
struct UsbKeyAnswers;

// Connections from their accept until their socket is closed, and the
// connection tasks inside their request loop.
extern std::atomic<int32_t> usbConnectionCount;
extern std::atomic<int32_t> usbActiveConnectionTasks;
// Protocol and cipher of the first read of the latest TLS connection
// (shown by the web pages). Read it with copyUsbTlsDescription.
constexpr int USB_TLS_DESCRIPTION_SIZE = 140;
void copyUsbTlsDescription(char* out, int size);

class UsbConnection : public UsbEventSource {
 public:
  // A source for the socket (not owned here: the connection task owns it).
  UsbConnection(TlsConnection* socket, Task* task);
  ~UsbConnection() override;

  // Reads exactly size bytes (time-out in ms for each read, and never past
  // the request's deadline): size, or the first read result <= 0
  // (CONN_TIMEOUT once the deadline has passed).
  int readFully(void* buffer, int size, int timeoutMs);
  // The request being read must be in whole within USB_IO_TIMEOUT_MS from
  // now (program clock), plus the time its body takes at USB_MIN_BODY_RATE.
  void startRequestDeadline();
  void allowBodyBytes(int64_t bytes);
  // Describes the TLS session for the web pages once, after its first read.
  void noteTlsSession();
  // Writes size bytes: the socket's result, -1 without socket.
  int writeFully(const void* buffer, int size, int timeoutMs);
  // Writes every piece, waiting (bounded by USB_IO_TIMEOUT_MS each time
  // the socket takes nothing) for room: the total, -1 when not all went or
  // without socket; count when <= 0.
  int writeVector(const iovec* pieces, int count);
  // Reads and drops size bytes: 1 (also for size <= 0), 0 on failure.
  int discardBytes(int64_t size);
  // Sends the header (its data length set to length) and length bytes of
  // data in one write within USB_IO_TIMEOUT_MS: 0, or -1 when not all went.
  int sendReply(UsbReplyHeader header, const void* data = nullptr, uint32_t length = 0);
  // A reply with status and error and no data: 0 or -1.
  int sendStatus(const UsbRequestHeader& request, uint32_t status, int32_t error);
  // The 18-byte notice DEVICE_GONE or PORT_DISABLED for row and port.
  int sendNotice(uint32_t opcode, int row, int port);

  // --- The rows this connection owns (call on this connection's task) ---
  // Watches the row's open usbfs handle for completed transfers (output
  // events, handler usb_srv_poll), replacing and destroying a source the
  // row had. 1, or 0 when the source could not be made or registered.
  int watchRowHandle(int row);
  // Destroys the row's event source when it has one.
  void unwatchRow(int row);
  // unwatchRow, then closes the row's handle when open.
  void closeRowHandle(int row);
  // Destroys every event source this connection made for a row and has
  // not destroyed yet, wherever it is now (still in a row, which then lets
  // go of it, or in no row at all, when the connection ended half-way
  // through a request or the row was recycled under it). The end hook of
  // the connection task calls it after the rows and handovers are given
  // back; the destructor calls it again.
  void releaseRowSources();
  // Row sources of this connection not yet destroyed.
  int rowSourceCount() const { return static_cast<int>(rowSources_.size()); }

  // Finishes what other threads handed over (usbrowhandover.h): notices
  // are sent, handles closed, sources destroyed and transfers freed. With
  // send 0 nothing is written (the connection is ending). -1 when a notice
  // could not be written, else 0.
  int serveHandovers(int send);
  // Called by the handover side (any thread, under the row mutex of the
  // row concerned while this connection owns it).
  void queueHandover(std::shared_ptr<UsbHandover> handover);

  TlsConnection* socket;
  uint32_t keepAliveValue = 0;          // last KEEP_ALIVE value; never read
  std::atomic<int64_t> lastRequestTick{0};
  int64_t requestDeadlineCs = -1;       // uptimeCs; -1 none (between requests)
  // Bulk IN transfers this connection has waiting (urbrequest.h limits);
  // shared with the requests counted in it, which may outlive a revoke.
  std::shared_ptr<UrbQueueBudget> queueBudget = std::make_shared<UrbQueueBudget>();
  uint32_t challenge = 0;               // tag of the latest successful hello
  // Answers of the latest keyed DEVICE_LIST (access control); null before one.
  std::unique_ptr<UsbKeyAnswers> keyAnswers;
  uint8_t tlsNoted = 1;                 // the TLS session was described (or plain)

 private:
  // Destroys a source this connection made (see rowSources_).
  void destroyRowSource(UsbEventSource*& source);

  std::mutex handoverMutex_;
  std::vector<std::shared_ptr<UsbHandover>> handovers_;  // guarded by handoverMutex_
  // The sources watchRowHandle made, until they are destroyed: the
  // connection owns them, the row or a handover only points at them. Used
  // on the connection's task only.
  std::vector<UsbEventSource*> rowSources_;
};

// The socket carries a TLS session.
bool isConnectionSecure(const UsbConnection& connection);
// The peer as a socket address: 16 for IPv4 (also an IPv4-mapped IPv6
// peer), 28 for other IPv6, 0 on failure or when size is too small.
int getConnectionPeerAddress(const UsbConnection& connection, void* out, int size);
// "%03d.%03d.%03d.%03d:%d" of an IPv4 peer and its port, else "--".
void formatConnectionPeer(const UsbConnection& connection, char* out, int size);
// The IPv4 address of the peer in network byte order in out[4]: 1, or 0
// when the peer is not IPv4.
int getConnectionPeerIpv4(const UsbConnection& connection, uint8_t out[4]);

// The socket handler of every connection: reads one request and runs its
// handler; negative drops the connection.
int usbDispatchRequest(UsbEventSource& source);

// The connection task: serves one accepted client until it goes, then
// gives its devices back. It owns the socket. A client of the TLS port is
// accepted plainly and its handshake is the task's first step.
class UsbSrvdPrcs : public Task {
 public:
  explicit UsbSrvdPrcs(TlsConnection* socket, bool handshake = false);
  ~UsbSrvdPrcs() override;
  void run() override;
  int onMessage(const TaskMessage& msg) override;
  // Releases the connection's devices and closes its socket.
  void onEnd() override;

  UsbConnection* connection() const { return source_; }

 private:
  // Takes the connection out of usbConnectionCount once.
  void uncount();

  TlsConnection* socket_;
  UsbConnection* source_ = nullptr;
  bool handshake_;
  bool counted_ = false;
  bool active_ = false;  // counted in usbActiveConnectionTasks
};

// A message flag of the connection tasks: a handover waits (param = row).
constexpr int32_t MSG_USB_HANDOVER = 0x00100000;

// Rows 0 .. USB_MAXDEVS-1 owned by connection: reset, their transfers
// released, handles closed, released to PRESENT. On the connection's task.
void releaseConnectionDevices(UsbConnection& connection);
// The reset check, run by every connection task once per second: clears
// the reset flag of rows not in use; resets and closes the flagged rows
// this connection owns.
void resetFlaggedUsbDevices(UsbConnection& connection);

#endif
