// The ENGINE interface is deprecated in OpenSSL 3 but still the only way to
// reach the devcrypto engine.
#define OPENSSL_SUPPRESS_DEPRECATED 1

#include "runtime/tls/tlsengine.h"

#include <cstdio>

#include <openssl/err.h>
#include <openssl/ssl.h>
#ifndef OPENSSL_NO_ENGINE
#include <openssl/engine.h>
#endif

const char kHwEngineId[] = "devcrypto";

#ifndef OPENSSL_NO_ENGINE

namespace {

// A failed lookup leaves errors queued; a later SSL_get_error would take
// them for a failure of its own call, so they are dropped here.
ENGINE* findHwEngine(const char* caller) {
  ENGINE* engine = ENGINE_by_id(kHwEngineId);
  if (engine == nullptr) {
    ERR_clear_error();
    std::fprintf(stderr, "%s() can not find engine Id: %s\n", caller, kHwEngineId);
  }
  return engine;
}

}  // namespace

void InitHwEngineServerSSL() {
  ENGINE_load_builtin_engines();
  ERR_clear_error();
  ENGINE* engine = findHwEngine("InitHwEngineServerSSL");
  if (engine == nullptr) return;
  if (!ENGINE_init(engine)) {
    std::fprintf(stderr, "%s() can not activate engine: %s\n", "InitHwEngineServerSSL", kHwEngineId);
  } else {
    ENGINE_register_complete(engine);
    if (!ENGINE_set_default(engine, ENGINE_METHOD_ALL & ~ENGINE_METHOD_RAND))
      std::fprintf(stderr, "%s() can not activate engine: %s\n", "InitHwEngineServerSSL", kHwEngineId);
    ENGINE_finish(engine);
  }
  ENGINE_free(engine);
  ERR_clear_error();
}

void EnableHwEngineClientSSL(ssl_ctx_st* ctx) {
  ENGINE* engine = findHwEngine("EnableHwEngineClientSSL");
  if (engine == nullptr) return;
  if (!SSL_CTX_set_client_cert_engine(ctx, engine))
    std::fprintf(stderr, "%s() can not activate engine: %s\n", "EnableHwEngineClientSSL", kHwEngineId);
  ENGINE_free(engine);
  ERR_clear_error();
}

#else  // a library built without engines: nothing to use

void InitHwEngineServerSSL() {
  std::fprintf(stderr, "%s() can not find engine Id: %s\n", "InitHwEngineServerSSL", kHwEngineId);
}

void EnableHwEngineClientSSL(ssl_ctx_st*) {
  std::fprintf(stderr, "%s() can not find engine Id: %s\n", "EnableHwEngineClientSSL", kHwEngineId);
}

#endif
