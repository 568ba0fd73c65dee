#include "runtime/tls/tlscontext.h"

#include <atomic>
#include <cstdio>
#include <string>
#include <strings.h>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include "runtime/file/fileutil.h"
#include "runtime/file/paths.h"
#include "runtime/tls/tlscontextcache.h"
#include "runtime/tls/tlsengine.h"
#include "runtime/tls/tlssettings.h"

const char kTlsFallbackCipherList[] = "DEFAULT";

namespace {

struct PairFiles {
  const char* certificate;
  const char* privateKey;
};

constexpr PairFiles kPairs[] = {
    {"/flash/cert_srv.pem", "/flash/cert_pkey.pem"},
    {"/flash/cert_fsrv.pem", "/flash/cert_fpkey.pem"},
    {"/flash/cert_rcert.pem", "/flash/cert_rpriv.pem"},
};

bool validPair(int pair) { return pair >= 0 && pair < static_cast<int>(sizeof kPairs / sizeof kPairs[0]); }

bool fileExists(const char* fixedPath) { return fileSize(mapPath(fixedPath).c_str(), nullptr, 0, nullptr) >= 0; }

std::atomic<bool> fallbackReported{false};

void setCipherList(SSL_CTX* ctx, const char* list) {
  if (SSL_CTX_set_cipher_list(ctx, list)) return;
  ERR_clear_error();
  if (!fallbackReported.exchange(true))
    std::fprintf(stderr, "cipher list \"%s\" matches no cipher, using \"%s\"\n", list, kTlsFallbackCipherList);
  SSL_CTX_set_cipher_list(ctx, kTlsFallbackCipherList);
  ERR_clear_error();
}

// TLS 1.0 and 1.1 sign with SHA-1 and MD5, which OpenSSL 3 refuses above
// security level 0; a setting that allows them needs the level lowered.
void setVersions(SSL_CTX* ctx, int version) {
  SSL_CTX_set_min_proto_version(ctx, version);
  SSL_CTX_set_max_proto_version(ctx, version);
  if (version != TLS1_2_VERSION) SSL_CTX_set_security_level(ctx, 0);
}

}  // namespace

const char* tlsCertificateFile(int pair) { return validPair(pair) ? kPairs[pair].certificate : nullptr; }

const char* tlsPrivateKeyFile(int pair) { return validPair(pair) ? kPairs[pair].privateKey : nullptr; }

int tlsMethodVersion(const char* sslmethod) {
  if (sslmethod == nullptr) return 0;
  if (strcasecmp(sslmethod, "tls10") == 0) return TLS1_VERSION;
  if (strcasecmp(sslmethod, "tls11") == 0) return TLS1_1_VERSION;
  if (strcasecmp(sslmethod, "tls12") == 0) return TLS1_2_VERSION;
  return 0;
}

const char* tlsCipherList(int security) {
  switch (security) {
    case 1:
      return "LOW";
    case 2:
      return "MEDIUM:RSA+AES128+SHA";
    case 3:
      return "HIGH";
    default:
      return "DEFAULT";
  }
}

void printTlsErrors() { ERR_print_errors_fp(stderr); }

int loadCertificatePair(ssl_ctx_st* ctx, int pair) {
  if (ctx == nullptr || !validPair(pair)) return 0;
  const PairFiles& files = kPairs[pair];
  if (!fileExists(files.certificate) || !fileExists(files.privateKey)) return 0;
  if (SSL_CTX_use_PrivateKey_file(ctx, mapPath(files.privateKey).c_str(), SSL_FILETYPE_PEM) == 1 &&
      SSL_CTX_use_certificate_file(ctx, mapPath(files.certificate).c_str(), SSL_FILETYPE_PEM) == 1)
    return 1;
  printTlsErrors();
  return 0;
}

int checkCertificatePair(int pair) {
  SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
  if (ctx == nullptr) {
    printTlsErrors();
    return 0;
  }
  int ok = loadCertificatePair(ctx, pair) && SSL_CTX_check_private_key(ctx) == 1;
  ERR_clear_error();
  SSL_CTX_free(ctx);
  return ok ? 1 : 0;
}

int checkOwnCertificate() {
  SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
  if (ctx == nullptr) {
    printTlsErrors();
    return 0;
  }
  int ok = loadCertificatePair(ctx, TLS_PAIR_OWN);
  SSL_CTX_free(ctx);
  return ok;
}

ssl_ctx_st* createTlsContext(int server) {
  char method[32];
  tlsSslMethod(method, sizeof method);
  const int version = tlsMethodVersion(method);
  const char* ciphers = tlsCipherList(tlsSecurity());

  SSL_CTX* ctx = SSL_CTX_new(server ? TLS_server_method() : TLS_client_method());
  if (ctx == nullptr) {
    printTlsErrors();
    return nullptr;
  }
  setVersions(ctx, version);
  EnableHwEngineClientSSL(ctx);
  setCipherList(ctx, ciphers);
  if (!loadCertificatePair(ctx, TLS_PAIR_IMPORTED) && !loadCertificatePair(ctx, TLS_PAIR_OWN)) {
    ERR_clear_error();
    SSL_CTX_free(ctx);
    return nullptr;
  }
  SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  return ctx;
}

ssl_st* createTlsSession(int server) {
  SSL_CTX* ctx = acquireTlsContext(server);
  if (ctx == nullptr) return nullptr;
  SSL* ssl = SSL_new(ctx);
  if (ssl == nullptr) printTlsErrors();
  SSL_CTX_free(ctx);  // the session keeps its own reference
  return ssl;
}
