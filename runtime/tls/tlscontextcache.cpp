#include "runtime/tls/tlscontextcache.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <mutex>

#include <openssl/ssl.h>

#include "runtime/file/paths.h"
#include "runtime/tls/tlscontext.h"
#include "runtime/tls/tlssettings.h"

namespace {

// What one file looked like; all zero when it is missing.
struct FileStamp {
  dev_t device;
  ino_t inode;
  off_t size;
  time_t seconds;
  long nanoseconds;
};

// Everything a context is built from.
struct ContextKey {
  char method[32];
  int security;
  // Certificate and key of the imported pair, then of the own pair.
  FileStamp files[4];
};

FileStamp stampOf(const char* fixedPath) {
  FileStamp stamp;
  std::memset(&stamp, 0, sizeof stamp);
  struct stat st;
  if (fixedPath == nullptr || stat(mapPath(fixedPath).c_str(), &st) != 0) return stamp;
  stamp.device = st.st_dev;
  stamp.inode = st.st_ino;
  stamp.size = st.st_size;
  stamp.seconds = st.st_mtim.tv_sec;
  stamp.nanoseconds = st.st_mtim.tv_nsec;
  return stamp;
}

void readKey(ContextKey* key) {
  std::memset(key, 0, sizeof *key);
  tlsSslMethod(key->method, sizeof key->method);
  key->security = tlsSecurity();
  const int pairs[] = {TLS_PAIR_IMPORTED, TLS_PAIR_OWN};
  for (int i = 0; i < 2; ++i) {
    key->files[2 * i] = stampOf(tlsCertificateFile(pairs[i]));
    key->files[2 * i + 1] = stampOf(tlsPrivateKeyFile(pairs[i]));
  }
}

bool sameKey(const ContextKey& a, const ContextKey& b) {
  if (std::strcmp(a.method, b.method) != 0 || a.security != b.security) return false;
  for (int i = 0; i < 4; ++i) {
    const FileStamp& x = a.files[i];
    const FileStamp& y = b.files[i];
    if (x.device != y.device || x.inode != y.inode || x.size != y.size || x.seconds != y.seconds ||
        x.nanoseconds != y.nanoseconds)
      return false;
  }
  return true;
}

bool noPairFiles(const ContextKey& key) {
  for (const FileStamp& f : key.files)
    if (f.inode != 0) return false;
  return true;
}

struct KeptContext {
  SSL_CTX* context = nullptr;
  ContextKey key;
};

std::mutex cacheLock;
KeptContext kept[2];  // client, server
// The settings of the last "no certificate pair" line, so that a client
// retrying against a device without a pair gives one line, not one each.
bool missingReported = false;
ContextKey missingKey;

}  // namespace

ssl_ctx_st* acquireTlsContext(int server) {
  ContextKey key;
  readKey(&key);
  KeptContext& slot = kept[server ? 1 : 0];
  {
    std::lock_guard<std::mutex> guard(cacheLock);
    if (slot.context != nullptr && sameKey(slot.key, key)) {
      SSL_CTX_up_ref(slot.context);
      return slot.context;
    }
  }
  // Built outside the lock: loading a pair reads files.
  SSL_CTX* fresh = createTlsContext(server);
  std::lock_guard<std::mutex> guard(cacheLock);
  if (fresh == nullptr) {
    if (server && noPairFiles(key) && !(missingReported && sameKey(missingKey, key))) {
      std::fprintf(stderr, "TLS handshake refused: no certificate pair (%s, %s)\n", tlsCertificateFile(TLS_PAIR_OWN),
                   tlsPrivateKeyFile(TLS_PAIR_OWN));
      missingReported = true;
      missingKey = key;
    }
    return nullptr;
  }
  if (server) missingReported = false;
  if (slot.context != nullptr) SSL_CTX_free(slot.context);
  slot.context = fresh;
  slot.key = key;
  SSL_CTX_up_ref(fresh);
  return fresh;
}

void dropTlsContextCache() {
  std::lock_guard<std::mutex> guard(cacheLock);
  for (KeptContext& slot : kept) {
    if (slot.context != nullptr) SSL_CTX_free(slot.context);
    slot.context = nullptr;
  }
  missingReported = false;
}
