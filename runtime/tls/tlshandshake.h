// Starting and ending TLS sessions on a connection's socket.
#ifndef RUNTIME_TLS_TLSHANDSHAKE_H
#define RUNTIME_TLS_TLSHANDSHAKE_H

#include <cstdint>

struct ssl_st;
class TlsConnection;

// Server handshake on the connection's socket within limitCs (1/100 s;
// <= 0: kTlsServerHandshakeCs), serving the calling task's messages
// meanwhile. The socket is left non-blocking. The session, or null (the
// caller closes the connection).
ssl_st* tlsServerHandshake(TlsConnection* connection, int64_t limitCs = 0);

// Ends the session: in abortive mode no close notification is sent and the
// session is not kept for resumption. Closes the session's socket and frees
// the session with its context. 1 when the socket was closed.
int tlsShutdown(ssl_st* session, int abortive);

#endif
