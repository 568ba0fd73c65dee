// The socket under a TLS session. OpenSSL's own socket BIO writes with
// plain send(), which raises SIGPIPE when the peer has gone; this one
// sends with MSG_NOSIGNAL, so a write to a closed peer just fails (EPIPE)
// and no signal mask has to be changed around each TLS call. Reads are
// plain recv(); a peer's close is reported as OpenSSL's socket BIO does, so
// an end without close notification is still told from a broken session.
#ifndef RUNTIME_TLS_TLSSOCKETBIO_H
#define RUNTIME_TLS_TLSSOCKETBIO_H

struct ssl_st;

// Attaches the connected socket fd to session for reading and writing,
// like SSL_set_fd (the socket stays the caller's to close). 1, or 0 without
// memory.
int setTlsSessionSocket(ssl_st* session, int fd);

#endif
