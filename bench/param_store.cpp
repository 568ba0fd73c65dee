// Parameter store speed against plain baselines measured in the same run:
//   lookup of every key        vs std::lower_bound over the same sorted keys
//   a full visible listing     vs one plain pass over the rows
//   save / load of the file    vs a plain fwrite / fread of the same bytes
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "params/store/paramstore.h"
#include "params/types/param.h"
#include "params/types/paramflags.h"
#include "runtime/file/paths.h"

namespace {

using Clock = std::chrono::steady_clock;

template <class F>
double secondsFor(int rounds, F&& work) {
  auto start = Clock::now();
  for (int i = 0; i < rounds; ++i) work();
  return std::chrono::duration<double>(Clock::now() - start).count();
}

volatile uintptr_t sink;

void report(const char* what, double measured, double baseline) {
  std::printf("%-34s %10.3f ms  baseline %10.3f ms  ratio %6.2f\n", what, measured * 1e3, baseline * 1e3,
              baseline > 0 ? measured / baseline : 0.0);
}

}  // namespace

int main() {
  char rootTemplate[] = "/tmp/bench-params-XXXXXX";
  if (mkdtemp(rootTemplate) == nullptr) return 1;
  const std::string root = rootTemplate;
  std::filesystem::create_directories(root + "/etc");
  setDataRoot(root.c_str());

  int count = 0;
  Param** items = paramStore.items(&count);
  std::vector<std::string> keys;
  for (int i = 0; i < count; ++i) keys.emplace_back(items[i]->key());
  std::vector<const char*> sorted;
  for (const std::string& k : keys) sorted.push_back(k.c_str());
  std::printf("parameters: %d\n", count);

  // Lookup.
  const int lookupRounds = 2000;
  double store = secondsFor(lookupRounds, [&] {
    for (const std::string& k : keys) sink = reinterpret_cast<uintptr_t>(paramStore.find(k.c_str()));
  });
  double lowerBound = secondsFor(lookupRounds, [&] {
    for (const std::string& k : keys) {
      auto it = std::lower_bound(sorted.begin(), sorted.end(), k.c_str(),
                                 [](const char* a, const char* b) { return std::strcmp(a, b) < 0; });
      sink = reinterpret_cast<uintptr_t>(*it);
    }
  });
  report("find every key", store, lowerBound);

  // Listing.
  const int listRounds = 5000;
  double listing = secondsFor(listRounds, [&] {
    for (int n = 0, total = paramStore.countVisible(PF_NOREPORT); n < total; ++n)
      sink = reinterpret_cast<uintptr_t>(paramStore.visibleAt(n, PF_NOREPORT));
  });
  double onePass = secondsFor(listRounds, [&] {
    for (int i = 0; i < count; ++i) {
      if (!(items[i]->flags() & (PF_NOREPORT | PF_HIDDEN))) sink = reinterpret_cast<uintptr_t>(items[i]);
    }
  });
  report("full visible listing", listing, onePass);

  // Save and load.
  const int fileRounds = 50;
  const std::string path = root + "/etc/params.dat";
  double save = secondsFor(fileRounds, [&] { paramStore.save("/etc/params.dat"); });
  std::string bytes;
  {
    FILE* in = std::fopen(path.c_str(), "r");
    char buffer[4096];
    size_t n;
    while (in && (n = std::fread(buffer, 1, sizeof buffer, in)) > 0) bytes.append(buffer, n);
    if (in) std::fclose(in);
  }
  const std::string plainPath = root + "/etc/plain.dat";
  double plainWrite = secondsFor(fileRounds, [&] {
    FILE* out = std::fopen(plainPath.c_str(), "w");
    std::fwrite(bytes.data(), 1, bytes.size(), out);
    std::fclose(out);
  });
  double syncedWrite = secondsFor(fileRounds, [&] {
    FILE* out = std::fopen(plainPath.c_str(), "w");
    std::fwrite(bytes.data(), 1, bytes.size(), out);
    std::fflush(out);
    fsync(fileno(out));
    std::fclose(out);
  });
  double load = secondsFor(fileRounds, [&] { paramStore.loadFile("/etc/params.dat"); });
  double plainRead = secondsFor(fileRounds, [&] {
    FILE* in = std::fopen(path.c_str(), "r");
    char buffer[4096];
    while (std::fread(buffer, 1, sizeof buffer, in) > 0) {
    }
    std::fclose(in);
  });
  std::printf("file: %zu bytes\n", bytes.size());
  report("save vs plain fwrite", save, plainWrite);
  report("save vs fwrite + fsync", save, syncedWrite);
  report("load vs plain fread", load, plainRead);

  std::filesystem::remove_all(root);
  return 0;
}
