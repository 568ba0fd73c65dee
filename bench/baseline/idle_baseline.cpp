// The fair baseline of bench/idle_rss.sh: a C++ program that links what the
// program links (the script passes the program's own list of shared
// libraries) and does only what any program on them must do: OpenSSL
// initialised as the program's start-up does (strings, random pool, the
// hardware engine looked up) and one server TLS context with the
// certificate pair of the directory given. It then sleeps in a second
// thread, as the program's work is done in threads.
//
// Built by the script, not by CMake: it must not link the program's code.
#define OPENSSL_SUPPRESS_DEPRECATED 1

#include <openssl/err.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#ifndef OPENSSL_NO_ENGINE
#include <openssl/engine.h>
#endif
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>

namespace {

const char kEngineId[] = "devcrypto";

void initOpenSsl() {
  OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
  RAND_poll();
  const uint64_t state = static_cast<uint64_t>(getpid());
  RAND_seed(&state, sizeof state);
#ifndef OPENSSL_NO_ENGINE
  ENGINE_load_builtin_engines();
  ERR_clear_error();
  if (ENGINE* engine = ENGINE_by_id(kEngineId)) {
    if (ENGINE_init(engine)) {
      ENGINE_register_complete(engine);
      ENGINE_set_default(engine, ENGINE_METHOD_ALL & ~ENGINE_METHOD_RAND);
      ENGINE_finish(engine);
    }
    ENGINE_free(engine);
  }
  ERR_clear_error();
#endif
}

SSL_CTX* serverContext(const std::string& dir) {
  SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
  if (!ctx) return nullptr;
  SSL_CTX_set_min_proto_version(ctx, 0);
  SSL_CTX_set_max_proto_version(ctx, 0);
#ifndef OPENSSL_NO_ENGINE
  if (ENGINE* engine = ENGINE_by_id(kEngineId)) {
    SSL_CTX_set_client_cert_engine(ctx, engine);
    ENGINE_free(engine);
  }
  ERR_clear_error();
#endif
  SSL_CTX_set_cipher_list(ctx, "DEFAULT");
  if (SSL_CTX_use_PrivateKey_file(ctx, (dir + "/cert_pkey.pem").c_str(), SSL_FILETYPE_PEM) != 1 ||
      SSL_CTX_use_certificate_file(ctx, (dir + "/cert_srv.pem").c_str(), SSL_FILETYPE_PEM) != 1) {
    SSL_CTX_free(ctx);
    return nullptr;
  }
  SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  return ctx;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: idle_baseline PAIR_DIRECTORY\n");
    return 2;
  }
  initOpenSsl();
  SSL_CTX* ctx = serverContext(argv[1]);
  if (!ctx) {
    std::fprintf(stderr, "idle_baseline: no certificate pair in %s\n", argv[1]);
    return 1;
  }
  std::thread sleeper([] {
    for (;;) pause();
  });
  sleeper.join();
  SSL_CTX_free(ctx);
}
