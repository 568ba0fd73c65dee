// TLS contexts and sessions. Every handshake gets a context of the current
// `sslmethod` and `security` and the certificate files, so a changed
// setting applies to the next connection without a reload.
#ifndef RUNTIME_TLS_TLSCONTEXT_H
#define RUNTIME_TLS_TLSCONTEXT_H

struct ssl_st;
struct ssl_ctx_st;

// Certificate pairs.
constexpr int TLS_PAIR_OWN = 0;       // the device's own pair
constexpr int TLS_PAIR_IMPORTED = 1;  // preferred for every context
constexpr int TLS_PAIR_REQUEST = 2;   // only checked, never served

// The appliance paths of a pair's files; null for an unknown pair.
const char* tlsCertificateFile(int pair);
const char* tlsPrivateKeyFile(int pair);

// The protocol version `sslmethod` asks for (compared ignoring case):
// TLS1_VERSION for "tls10", TLS1_1_VERSION for "tls11", TLS1_2_VERSION for
// "tls12"; 0 (every version the library has) for anything else.
int tlsMethodVersion(const char* sslmethod);

// The cipher list of a `security` value: 1 "LOW", 2
// "MEDIUM:RSA+AES128+SHA", 3 "HIGH", anything else "DEFAULT".
const char* tlsCipherList(int security);

// A list that matches no cipher of this library (OpenSSL 3 has no "LOW"
// ciphers left) is replaced by this one, so the setting still serves
// clients; the replacement is reported once on standard error.
extern const char kTlsFallbackCipherList[];

// A context of the current settings with the imported pair, else the own
// pair; null when the context cannot be made or no pair loads.
ssl_ctx_st* createTlsContext(int server);

// A session of a context of the current settings and pair files: a kept
// one while nothing changed (tlscontextcache.h), else a fresh one. The
// session holds its own reference to the context.
ssl_st* createTlsSession(int server);

// Loads the pair's key, then its certificate (PEM) into ctx. 0 at once when
// a file is missing; on a load failure the error queue is printed.
int loadCertificatePair(ssl_ctx_st* ctx, int pair);

// 1 when the pair loads into a fresh server context and the key matches
// the certificate.
int checkCertificatePair(int pair);

// 1 when the own pair loads into a fresh server context.
int checkOwnCertificate();

// Prints OpenSSL's error queue to standard error (emptying it).
void printTlsErrors();

#endif
