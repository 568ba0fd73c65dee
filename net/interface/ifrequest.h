// Shared set-up of an interface request for the ioctls of NetInterface.
#ifndef NET_INTERFACE_IFREQUEST_H
#define NET_INTERFACE_IFREQUEST_H

#include <net/if.h>

#include <cstdio>
#include <cstring>

// Zeroes the request and copies at most 15 characters of the name.
inline void prepareRequest(ifreq& req, const char* name) {
  std::memset(&req, 0, sizeof req);
  std::snprintf(req.ifr_name, sizeof req.ifr_name, "%s", name ? name : "");
}

#endif
