// TlsConnection: a Connection with an optional TLS session. The HTTP and USB
// servers listen through openTcpListener and accept plain or TLS clients;
// the mail client connects plainly and starts TLS when its protocol asks.
// Reads and writes go through the session when there is one, straight to
// the socket otherwise, with the result codes of Connection.
//
// Time-outs are in 1/100 s. The socket of a TLS session stays non-blocking
// for the session's life, and every wait inside a TLS read or write is
// bounded:
// - read: the caller's time-out covers the whole call, the waits for the
//   rest of a record included (negative: no limit). A read with time-out 0
//   never waits: a record that has not fully arrived reads as nothing (0)
//   and is completed by a later read.
// - write: each wait in which the socket takes nothing is bounded by the
//   caller's time-out (negative: no limit; 0: kTlsStallTimeoutCs).
// - writev and sendFile: each such wait is bounded by kTlsStallTimeoutCs.
// A TLS read wait that runs out gives -2 (ioStatus 1) and the session stays
// usable; a write gives -1 as for any failed wait for room. The waits are
// those of Connection, so they serve the owner's messages.
#ifndef RUNTIME_TLS_TLSCONNECTION_H
#define RUNTIME_TLS_TLSCONNECTION_H

#include <cstdint>

#include "runtime/socket/connection.h"

struct ssl_st;

// How long a TLS write may wait for a peer that takes nothing, when the
// caller gives no time-out of its own (writev, sendFile, write with 0).
constexpr int64_t kTlsStallTimeoutCs = 3000;
// Server handshakes are abandoned after this long.
constexpr int64_t kTlsServerHandshakeCs = 2000;
// Client handshakes started without a time-out of the caller's.
constexpr int64_t kTlsClientHandshakeCs = 2000;
// Reads of decrypted bytes already pending and the file copy buffer.
constexpr int kTlsPendingReadMax = 7300;
// What a read takes when the socket reports nothing waiting.
constexpr int kTlsDefaultReadSize = 2048;

class TlsConnection : public Connection {
 public:
  TlsConnection(Task* owner, InterfaceView* iface, int vlan);
  // close().
  ~TlsConnection();

  // Waits without time-out for a client on this listener (serving the
  // owner's messages) and accepts it into a new connection with this one's
  // owner, interface, VLAN, port and type, state 3. With tls the server
  // handshake follows. Null when the wait ends without a client, the accept
  // fails (errno kept) or the handshake fails.
  TlsConnection* accept(int tls);
  // Connection::connect(timeoutCs), then with tls clientHandshake within
  // what is left of timeoutCs (timeoutCs <= 0: kTlsClientHandshakeCs).
  int connect(int timeoutCs, int tls);
  // Client handshake on the connected socket, waiting for the socket within
  // timeoutCs (negative: no limit). With verify the peer's certificate must
  // verify. lastResult holds SSL_connect's last result, then the
  // verification result. The session (also kept in session), or null.
  ssl_st* clientHandshake(int verify, int64_t timeoutCs = kTlsClientHandshakeCs);

  // Reads what is there into buffer: with fresh the buffer is released and
  // sized for what is waiting, else its memory is reused (a buffer without
  // memory is sized as with fresh). Bytes read; 0 when a time-out of 0
  // found nothing complete or a parameter change ended the wait; -2
  // time-out, -3 closed by the peer, -4 broken, -19 no socket, or minus an
  // error number. A failed read leaves the buffer released.
  int read(ByteBuffer& buffer, int64_t timeoutCs, int fresh);
  int readFresh(ByteBuffer& buffer, int64_t timeoutCs);
  // read into caller memory lent as a non-owned buffer.
  int readInto(void* memory, int size, int64_t timeoutCs);
  // One read() of up to 2048 bytes into buffer, after a wait when timeoutCs
  // is not 0. The count, or -1 (0 when the wait failed).
  int readPlain(ByteBuffer& buffer, int64_t timeoutCs);

  // Writes length bytes. Bytes written (also added to bytesWritten); -4
  // broken (ioStatus 2); -1 a wait for room failed or ran out (ioStatus 1
  // then), inside a TLS record or between writes. With once only one
  // attempt is made.
  int write(const void* data, int length, int timeoutCs, int once);
  // Plain: one writev. TLS: each element through sslWrite until done. The
  // total, or the first non-positive result.
  int writev(const iovec* vector, int count);
  // Copies fd's content to the connection until its end; 1, or 0 on a read
  // or write failure.
  int sendFile(int fd);
  // shutdown(SHUT_WR), then reads until the peer closes (1), the connection
  // breaks (0, ioStatus 2) or timeoutSeconds pass (0; 0 = no limit). The
  // bytes read are appended to buffer when one is given.
  int closeGracefully(int timeoutSeconds, ByteBuffer* buffer);
  // Ends the session without a close notification, closes the socket once
  // and leaves fd -1, state 0. 1 when the close succeeded.
  int close();

  // The version of the last application data record peeked: "SSLv2",
  // "SSLv3", "TLSv1.0" .. "TLSv1.2" (TLS 1.3 records carry 3.3, so such a
  // session shows as "TLSv1.2"); "" before any.
  const char* protocolName() const;

  // One SSL_read within timeoutCs (see the header comment): bytes; 0 closed
  // by the peer; -2 the wait ran out (ioStatus 1); -4 broken (ioStatus 2).
  int sslRead(void* memory, int size, int64_t timeoutCs);
  // One SSL_write; each wait is bounded by timeoutCs (negative: no limit):
  // bytes (a record or more); -2 a wait ran out (ioStatus 1); -4 broken
  // (ioStatus 2) or no session.
  int sslWrite(const void* memory, int size, int64_t timeoutCs);

  int64_t bytesWritten;     // by write and writev (a disk copy passes 2 GiB)
  uint8_t recordHeader[4];  // first bytes of the last record peeked
  int32_t lastResult;       // client handshake and verification result
  ssl_st* session;          // null for a plain connection

 private:
  // Waits for what sslError asks (SSL_ERROR_WANT_READ or _WRITE) until
  // deadlineCs (negative: none). 1 ready; 0 the time ran out; -1 failed.
  int waitForSession(int sslError, int64_t deadlineCs);
  void peekRecordHeader();
  // read of a session into a buffer with memory: decrypts what has arrived
  // before it waits, and reads up to the buffer's capacity.
  int readSession(ByteBuffer& buffer, int64_t timeoutCs);
};

// "<protocol> " and the cipher's description into buffer (the description
// only when 129 bytes are left). 1, or 0 without session or cipher.
int describeTlsSession(TlsConnection* connection, char* buffer, int size);

#endif
