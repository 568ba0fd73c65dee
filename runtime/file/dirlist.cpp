#include "runtime/file/dirlist.h"

#include "runtime/file/fileutil.h"
#include "runtime/task/task.h"

#include <dirent.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {
constexpr int64_t kLockRetryCs = 50;
}

DirList::DirList(Filter filter) : filter_(filter) { pthread_mutex_init(&mutex_, nullptr); }

DirList::~DirList() {
  clear();
  pthread_mutex_destroy(&mutex_);
}

bool DirList::heldByCaller() const { return locked_.load() && pthread_equal(owner_.load(), pthread_self()); }

void DirList::acquire() {
  for (;;) {
    const int rc = pthread_mutex_trylock(&mutex_);
    if (rc == 0) break;
    errno = rc;
    perror("Param lock Mutex:");
    if (Task* task = currentTask())
      task->wait(kLockRetryCs, -1);
    else
      usleep(static_cast<useconds_t>(kLockRetryCs * 10000));
  }
  owner_.store(pthread_self());
  locked_.store(true);
}

void DirList::freeEntries() {
  if (entries_) {
    for (int i = 0; i < count_; ++i) free(entries_[i]);
    free(entries_);
  }
  entries_ = nullptr;
  count_ = -1;
}

int DirList::scan(const char* path, Order order) {
  // The mutex comes first: the previous result may still be read by the
  // thread that holds it.
  if (!heldByCaller()) acquire();
  if (entries_ || count_ >= 0) {
    freeEntries();
    clearFileExtensionList();
  }
  struct dirent** list = nullptr;
  const int n = path ? scandir(path, &list, filter_, order) : -1;
  if (n < 0) return 0;
  entries_ = list;
  count_ = n;
  return n;
}

int DirList::scanDirsFirst(const char* path) { return scan(path, dirsFirstAlphaSort); }

int DirList::scanByTime(const char* path) { return scan(path, byDataFileTime); }

const char* DirList::entryName(int index) const {
  if (!entries_ || index < 0 || index >= count_) return nullptr;
  return entries_[index]->d_name;
}

DirEntry DirList::entry(int index) const {
  if (!entries_ || index < 0 || index >= count_) return DirEntry(nullptr);
  return DirEntry(entries_[index]);
}

void DirList::clear() {
  clearFileExtensionList();
  // A list held by another thread is that thread's to clear.
  if (locked_.load() && !heldByCaller()) return;
  freeEntries();
  if (!locked_.load()) return;
  locked_.store(false);
  const int rc = pthread_mutex_unlock(&mutex_);
  if (rc != 0) {
    errno = rc;
    perror("Param unlock Mutex:");
  }
}

int DirList::deleteEntries(const char* directory, int onlyEmpty) {
  const int n = scanDirsFirst(directory);
  for (int i = 0; i < n; ++i) {
    const std::string path = std::string(directory) + "/" + entries_[i]->d_name;
    if (!onlyEmpty || fileSize(path.c_str(), nullptr, 0, nullptr) <= 0) unlink(path.c_str());
  }
  clear();
  return n;
}
