#include "runtime/tls/tlsinit.h"

#include <sched.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdio>
#include <mutex>

#include <openssl/rand.h>
#include <openssl/ssl.h>

#include "runtime/file/paths.h"
#include "runtime/task/uptime.h"
#include "runtime/tls/tlsengine.h"

namespace {

std::once_flag tlsInitialised;
std::atomic<int64_t> lastYieldTick{-1};

}  // namespace

void initTls(uint64_t callerState) {
  std::call_once(tlsInitialised, [callerState] {
    OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
    std::fprintf(stderr, "Initilizing SSL RAND \n");
    RAND_poll();
    RAND_seed(&callerState, sizeof callerState);
    InitHwEngineServerSSL();
    chmod(mapPath("/flash/cert_pkey.pem").c_str(), 0600);
  });
}

void shutdownTls() {}

void yieldOncePerTick() {
  const int64_t now = uptimeCs();
  if (lastYieldTick.exchange(now) != now) sched_yield();
}
