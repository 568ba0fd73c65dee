// Connection: the one socket class of the program. Every TCP, UDP,
// Unix-domain and packet socket is a Connection (the TLS connection extends
// it). It knows the task that owns it, the network interface and VLAN it
// belongs to, and its local and peer addresses.
//
// Blocking operations take time-outs in 1/100 s and keep serving the owner
// task's messages while they wait; a wait ends early only when a handler
// reports MSG_PARAMS_CHANGED. Messages are served only when the owner is
// the calling thread's task (handlers run on their own task's thread).
//
// Socket results: a byte count, or one of the codes below, or minus an
// error number.
#ifndef RUNTIME_SOCKET_CONNECTION_H
#define RUNTIME_SOCKET_CONNECTION_H

#include <cstdint>

#include "runtime/socket/ipaddress.h"

class InterfaceView;
class Task;
struct ByteBuffer;
struct iovec;

constexpr int CONN_TIMEOUT = -2;    // the wait ran out
constexpr int CONN_CLOSED = -3;     // closed by the peer
constexpr int CONN_BROKEN = -4;     // the connection broke
constexpr int CONN_NO_SOCKET = -19; // there is no socket

// Connection::state
constexpr int CONN_STATE_OPEN = 0;       // open or closed
constexpr int CONN_STATE_LISTENING = 1;
constexpr int CONN_STATE_CONNECTED = 3;

// Connection::ioStatus
constexpr int CONN_IO_GOOD = 0;
constexpr int CONN_IO_TIMED_OUT = 1;  // the last wait timed out
constexpr int CONN_IO_BROKEN = 2;     // set by the TLS layer

// Connection::family values beside IpAddress's 2 and 10.
constexpr int CONN_FAMILY_UNIX = 1;
constexpr int CONN_FAMILY_PACKET = 17;

// Connection::receive: buffers are given this many bytes, and reused while
// at least one Ethernet frame fits.
constexpr int32_t kReceiveBufferSize = 4000;
constexpr int32_t kReceiveMinFree = 1500;

// Connection::send waits for a full socket to drain, but gives up when no
// byte could be sent for this long (1/100 s).
constexpr int64_t kSendStallLimitCs = 3000;

class Connection {
 public:
  // port, family, type and state 0; fd -1; local and peer cleared (IPv4);
  // ioStatus 0. Nothing is opened.
  Connection(Task* owner, InterfaceView* iface, int vlan);
  // Closes the socket when open.
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Life and set-up; 1 success, 0 failure unless said.

  // Closes an open socket first, then socket(family, type, protocol); an
  // IPv6 socket that cannot be made is tried once more as IPv4. Stores
  // family and type on success.
  int open(int family, int type, int protocol);
  // A bound Unix datagram socket: path, or "/var/unixsock_<tid>-<n>" when
  // null. A name left by a dead process is unlinked and bound again.
  int openUnixDatagram(const char* path);
  // Closes the socket when open; fd -1, state 0. 1 when close succeeded.
  int close();
  // Binds to port on: IPv6 the unspecified address; IPv4 with vlanIndex
  // above 0 the address parameter of that VLAN index, else with any the
  // address 0.0.0.0, else the interface's address for this VLAN. Reads the
  // bound address back into local.
  int bind(int port, int any, int vlanIndex);
  // Binds to 127.0.0.1 (IPv6: ::1) on port.
  int bindLoopback(int port);
  // Binds a UDP socket for the multicast group (255.255.255.255 = no group:
  // binds to 0.0.0.0:port) and joins the group on the interface address.
  int bindMulticast(int port, const IpAddress& group, int dontRoute);
  // bindMulticast without a group when multicast, else bind(port, any, -1).
  int bindPort(int port, int multicast, int dontRoute, int any);
  // IPv4/IPv6 stream sockets only; state 1.
  int listen(int backlog);
  // Accepts a client of listenFd into this object: fd, peer, local, and the
  // family of the peer. 0 leaves fd -1.
  int acceptFrom(int listenFd);
  // Connects to peer. timeoutCs > 0 limits the whole attempt, 0 = no limit
  // (IPv4/IPv6 stream sockets wait for the connection while serving the
  // owner's messages), negative = one plain connect call. 1 and state 3.
  int connect(int timeoutCs);
  // Connects this Unix-domain socket to path (at most 105 characters);
  // state 3. Only a refused connection unlinks path (a stale socket file).
  int connectUnix(const char* path);
  // The bound local address when set, else the interface's address for this
  // VLAN. 1 when an address was given.
  int localAddress(IpAddress& out);

  // Options; those that need a socket fail without one.
  int setReuseAddr();
  int setNonBlocking();
  int setBlocking();
  // TCP_MAXSEG, or -1 on error.
  int get_maxseg();
  int set_maxseg(int value);
  // TCP_NODELAY on: small segments go out at once.
  int set_nagleon();
  int setBroadcast();
  int setDontRoute(int32_t value);
  int setDontRouteByte(uint8_t value);
  int setMulticastTtl(uint8_t ttl);
  int disableMulticastLoop();
  // SO_BINDTODEVICE to the interface's device: "<name>", or "<name>.<vlan>"
  // for vlan >= 0 ("NoIFace" without an interface).
  int bindToInterface();
  // -1 when TCP_INFO cannot be read or the peer has closed (CLOSE_WAIT);
  // else the pending SO_ERROR.
  int socketError();

  // Data transfer.

  // Waits until the socket is readable: timeoutCs covers the whole wait
  // (negative = no limit, 0 = just look). 1 readable; 0 otherwise with
  // *error (may be null) set to -19, -2 (also ioStatus 1) or minus the
  // error number, or left untouched when MSG_PARAMS_CHANGED ended the wait
  // (the result then is the socket's readiness). retryEintr polls again
  // after EINTR.
  int wait4read(int64_t timeoutCs, int* error, int retryEintr);
  // The same for writability, except that a time-out of 0 that finds the
  // socket full still returns 1 (error -2, ioStatus 1) so the caller tries
  // the write.
  int wait4write(int64_t timeoutCs, int* error, int retryEintr);
  // Receives once into buffer (given 4000 bytes when it lacks 1500 free or
  // holds lent memory; old content is dropped), after waiting timeoutCs.
  // Datagram senders are stored in peer. The byte count (buffer length);
  // 0 or a negative count from the socket as is; -1 when the wait failed
  // or a datagram did not fit (the buffer is then released).
  int receive(ByteBuffer& buffer, int timeoutCs);
  // Sends length bytes: on a connected socket as a stream, otherwise to
  // peer. A full socket is waited for (see kSendStallLimitCs); with once
  // only one attempt is made. Bytes sent; minus the error number on an
  // error (or a stall with nothing sent).
  int send(const void* data, int length, int once);
  // writev on the socket (no SIGPIPE); its result, -1 with errno on failure.
  int writev(const iovec* vector, int count);
  // sendto the link-layer address held in local. Bytes sent, or -4 on an
  // error other than EINTR and EAGAIN.
  int sendRaw(const void* data, int length, int once);
  // local becomes the link-layer address (IPv4 protocol, ifIndex, mac) and
  // the packet socket is bound to it.
  int bindPacket(int ifIndex, const uint8_t mac[6]);
  // The kernel index of the interface's device; 0 when it cannot be asked,
  // -1 when the device is unknown.
  int interfaceIndex();

  int32_t port;          // local port (host order), set by the binds
  int32_t family;        // 2 IPv4, 10 IPv6, 1 Unix, 17 packet
  int32_t type;          // 1 stream, 2 datagram
  int32_t fd;            // -1 = none
  int32_t vlan;          // VLAN id; -1 = the plain interface
  InterfaceView* iface;  // may be null
  int32_t state;         // CONN_STATE_*
  IpAddress local;       // bound address; packet sockets: link-layer address
  IpAddress peer;        // connect target, last sender or accepted client
  Task* owner;           // task whose messages are served while waiting
  int32_t ioStatus;      // CONN_IO_*
};

// Binds a raw descriptor to the device of the interface in use: "<name>",
// or "<name>.<id>" when the management VLAN is on. setsockopt's result
// (0 bound, -1 failed); a descriptor below 1 gives 0 and does nothing.
int force2face(int fd);

#endif
