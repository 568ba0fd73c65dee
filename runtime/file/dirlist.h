// Directory listing object.
//
// A scan takes the list's mutex and keeps it until clear(), so one list is
// read by one thread at a time: scan, read the names, clear. A task that
// has to wait for the mutex keeps serving its messages meanwhile.
#ifndef RUNTIME_FILE_DIRLIST_H
#define RUNTIME_FILE_DIRLIST_H

#include "runtime/file/direntry.h"

#include <atomic>
#include <pthread.h>

class DirList {
 public:
  using Filter = int (*)(const struct dirent*);
  using Order = int (*)(const struct dirent**, const struct dirent**);

  // filter is the scandir filter of this list (usually skipHiddenEntry);
  // null lists every entry.
  explicit DirList(Filter filter = nullptr);
  ~DirList();
  DirList(const DirList&) = delete;
  DirList& operator=(const DirList&) = delete;

  // Lists path in the given order; the entry count (0 when scandir fails).
  int scan(const char* path, Order order);
  int scanDirsFirst(const char* path);
  int scanByTime(const char* path);

  // Entries of the last scan; -1 when there is no scan result.
  int count() const { return count_; }
  // Name of that entry; null for an index outside 0 .. count - 1.
  const char* entryName(int index) const;
  DirEntry entry(int index) const;

  // Frees the entries, empties the extension table and releases the
  // list's mutex when the calling thread holds it.
  void clear();

  // Unlinks every entry "directory/name" (with onlyEmpty only those of
  // size 0 or less), then clears the list. The number of entries found;
  // 0 when the scan found nothing.
  int deleteEntries(const char* directory, int onlyEmpty);

 private:
  bool heldByCaller() const;
  void acquire();
  void freeEntries();

  struct dirent** entries_ = nullptr;
  int count_ = -1;
  Filter filter_;
  pthread_mutex_t mutex_;
  std::atomic<bool> locked_{false};
  std::atomic<pthread_t> owner_{};
};

#endif
