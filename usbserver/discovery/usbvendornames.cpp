#include "usbserver/discovery/usbvendornames.h"

#include <cstdio>
#include <cstring>

#include "runtime/file/paths.h"

namespace {

constexpr int kLineSize = 128;  // lines of at most 127 characters
constexpr int kNameOffset = 6;  // the name starts after "vvvv  " or "\tpppp "

void copyName(const char* line, char* out, int size) {
  int n = 0;
  for (const char* p = line + kNameOffset; *p && *p != '\n' && *p != '\r' && n < size - 1; ++p)
    out[n++] = *p;
  out[n] = '\0';
}

}  // namespace

void lookupUsbIdNames(int vendor, int product, char* manufacturer, char* productName, int size) {
  if (size <= 0) return;
  std::FILE* f = std::fopen(mapPath("/romfs/usb.ids").c_str(), "r");
  if (!f) return;
  char line[kLineSize];
  bool vendorFound = false;
  while (std::fgets(line, sizeof line, f)) {
    if (!vendorFound) {
      if (line[0] == '\t' || line[0] == '\0') continue;
      unsigned id = 0;
      if (std::sscanf(line, "%04x", &id) == 1 && static_cast<int>(id) == vendor) {
        if (std::strlen(line) > static_cast<size_t>(kNameOffset)) copyName(line, manufacturer, size);
        else manufacturer[0] = '\0';
        vendorFound = true;
      }
      continue;
    }
    if (line[0] != '\t') break;
    unsigned id = 0;
    if (std::sscanf(line, "\t%04x", &id) == 1 && static_cast<int>(id) == product) {
      if (std::strlen(line) > static_cast<size_t>(kNameOffset)) copyName(line, productName, size);
      else productName[0] = '\0';
      break;
    }
  }
  std::fclose(f);
}
