#include "usbserver/discovery/usbportmap.h"

#include <cstdlib>

namespace {

// Up to three decimal components a.b.c of a devpath; missing ones are 0.
void splitDevpath(const char* devpath, int parts[3]) {
  parts[0] = parts[1] = parts[2] = 0;
  if (!devpath) return;
  const char* p = devpath;
  for (int i = 0; i < 3 && *p; ++i) {
    char* end = nullptr;
    long v = std::strtol(p, &end, 10);
    if (end == p) break;
    // Kept small so the port arithmetic cannot overflow.
    if (v > 9999) v = 9999;
    if (v < -9999) v = -9999;
    parts[i] = static_cast<int>(v);
    if (*end != '.') break;
    p = end + 1;
  }
}

}  // namespace

int mapDevpathToUsbPort(uint32_t productId, int busnum, const char* devpath) {
  int part[3];
  splitDevpath(devpath, part);
  const int a = part[0], b = part[1], c = part[2];
  switch (productId) {
    case 346:
    case 357:
      return b >= 3 ? -2 : b;
    case 347:
      if (busnum == 1) return 3;
      if (busnum == 2) return 3 - a;
      if (busnum == 3) return 1;
      return 0;
    case 353:
      return (a - 1) * 5 + b;
    case 356:
      return b <= 6 ? b : c + 6;
    case 365:
      if (busnum == 3 || busnum == 4) return 2;
      return 1;
    case 366:
    case 367:
      if (b >= 4) return -1;
      return (busnum == 1 || busnum == 2) ? b : 0;
    case 370:
      if (b >= 5) return -1;
      if (busnum == 1 || busnum == 2) return b;
      if (busnum == 3) return b + 4;
      return 0;
    default:
      return -1;
  }
}
