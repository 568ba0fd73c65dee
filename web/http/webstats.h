// Process-wide statistics of the request engine, shown by the device load
// page: template output sizes and request variable list sizes. Updated by
// every request task without a lock; readers accept a value one update old.
#ifndef WEB_HTTP_WEBSTATS_H
#define WEB_HTTP_WEBSTATS_H

#include <atomic>
#include <cstdint>

struct WebStats {
  // Largest template output, with its buffer size and page row.
  std::atomic<int64_t> largestOutput{0};
  std::atomic<int64_t> largestOutputBuffer{0};
  std::atomic<int32_t> largestOutputPage{-1};
  // Smallest headroom (buffer size minus output), with its buffer, page and output.
  std::atomic<int64_t> smallestHeadroom{INT64_MAX};
  std::atomic<int64_t> smallestHeadroomBuffer{0};
  std::atomic<int32_t> smallestHeadroomPage{-1};
  std::atomic<int64_t> smallestHeadroomOutput{0};
  // Request variable lists: the largest list size and the largest used
  // length, with the page that reached it.
  std::atomic<int32_t> largestVariableList{0};
  std::atomic<int32_t> largestVariableUse{0};
  std::atomic<int32_t> largestVariableUsePage{-1};
};

extern WebStats webStats;

// Records one template output.
void noteTemplateOutput(int64_t output, int64_t bufferSize, int32_t page);
// Records one variable list's size and use.
void noteVariableList(int32_t capacity, int32_t used, int32_t page);

#endif
