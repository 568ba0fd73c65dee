// Host name resolution under one process-wide lock.
#ifndef RUNTIME_SOCKET_RESOLVER_H
#define RUNTIME_SOCKET_RESOLVER_H

#include <mutex>

class IpAddress;

// Serialises every host name lookup of the process.
extern std::mutex resolverMutex;

// Sets out from host, a numeric address or (with `dns` on) a name; returns 1
// when out was set, else 0. A null or empty text, and a name while `dns` is
// off, leave out unchanged; a name that cannot be found leaves only the
// family of out and zeroes the rest.
int resolveHostName(IpAddress& out, const char* host);

#endif
