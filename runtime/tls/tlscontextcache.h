// Reuse of TLS contexts between handshakes.
//
// A context follows `sslmethod`, `security` and the certificate pair files,
// which may change at any time without a message. Building one per
// handshake (loading and parsing the key and certificate) costs about as
// much as the handshake itself, so the last context of each side is kept
// and handed out again while those values and the files' identity (inode,
// size, modification time: a stat each) are what they were when it was
// built.
#ifndef RUNTIME_TLS_TLSCONTEXTCACHE_H
#define RUNTIME_TLS_TLSCONTEXTCACHE_H

struct ssl_ctx_st;

// A context of the current settings and pair files (server or client side),
// with one reference for the caller (SSL_CTX_free when done); null when no
// context can be made. Any thread.
ssl_ctx_st* acquireTlsContext(int server);

// Drops the kept contexts (tests; the next acquire builds afresh).
void dropTlsContextCache();

#endif
