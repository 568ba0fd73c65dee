#include "runtime/file/dirlist.h"

#include "runtime/task/task.h"
#include "support/scratch_root.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

class DirListTest : public ScratchRoot {
 protected:
  void SetUp() override {
    ScratchRoot::SetUp();
    writeFile("list/b.txt", "b");
    writeFile("list/A.TXT", "a");
    writeFile("list/c.JPG", "c");
    writeFile("list/noext", "n");
    writeFile("list/.hidden", "h");
    std::filesystem::create_directories(path("list/zdir"));
    std::filesystem::create_directories(path("list/adir"));
    listDir_ = path("list");
  }
  void TearDown() override {
    clearFileExtensionList();
    ScratchRoot::TearDown();
  }

  static std::vector<std::string> names(const DirList& list) {
    std::vector<std::string> out;
    for (int i = 0; i < list.count(); ++i) out.push_back(list.entryName(i));
    return out;
  }

  std::string listDir_;
};

TEST_F(DirListTest, ListsDirectoriesFirstThenAlphabeticallyWithoutHiddenEntries) {
  DirList list(skipHiddenEntry);
  EXPECT_EQ(list.count(), -1);
  EXPECT_EQ(list.entryName(0), nullptr);
  ASSERT_EQ(list.scanDirsFirst(listDir_.c_str()), 6);
  EXPECT_EQ(names(list), (std::vector<std::string>{"adir", "zdir", "A.TXT", "b.txt", "c.JPG", "noext"}));
  EXPECT_EQ(list.entryName(-1), nullptr);
  EXPECT_EQ(list.entryName(6), nullptr);
  EXPECT_TRUE(list.entry(0).isDirectory());
  EXPECT_FALSE(list.entry(0).isFile());
  EXPECT_TRUE(list.entry(3).isFile());
  EXPECT_FALSE(list.entry(3).isDirectory());
  EXPECT_FALSE(list.entry(99).isFile());

  // Scanning again replaces the result.
  ASSERT_EQ(list.scanDirsFirst(path("list/adir").c_str()), 0);
  EXPECT_EQ(list.entryName(0), nullptr);
  list.clear();
  EXPECT_EQ(list.count(), -1);
  EXPECT_EQ(list.entryName(0), nullptr);
}

TEST_F(DirListTest, WithoutFilterHiddenEntriesCountButAreNeitherFileNorDirectory) {
  DirList list;
  ASSERT_EQ(list.scanDirsFirst(listDir_.c_str()), 9);  // ".", ".." and ".hidden" too
  int hidden = 0;
  for (int i = 0; i < list.count(); ++i) {
    if (list.entryName(i)[0] != '.') continue;
    ++hidden;
    EXPECT_FALSE(list.entry(i).isDirectory());
    EXPECT_FALSE(list.entry(i).isFile());
  }
  EXPECT_EQ(hidden, 3);
  list.clear();
}

TEST_F(DirListTest, ScanOfAMissingDirectoryFindsNothing) {
  DirList list(skipHiddenEntry);
  EXPECT_EQ(list.scanDirsFirst(path("missing").c_str()), 0);
  EXPECT_EQ(list.entryName(0), nullptr);
  list.clear();
}

TEST_F(DirListTest, ScanByTimeListsNewestFirst) {
  writeFile("mnt/data/old", "1");
  writeFile("mnt/data/new", "2");
  struct timespec times[2] = {{0, UTIME_OMIT}, {0, UTIME_OMIT}};
  // The status-change time cannot be set directly; make "new" change later.
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  ASSERT_EQ(utimensat(AT_FDCWD, path("mnt/data/new").c_str(), times, 0), 0);
  ASSERT_EQ(chmod(path("mnt/data/new").c_str(), 0600), 0);
  DirList list(skipHiddenEntry);
  ASSERT_EQ(list.scanByTime(path("mnt/data").c_str()), 2);
  EXPECT_EQ(names(list), (std::vector<std::string>{"new", "old"}));
  list.clear();
}

TEST_F(DirListTest, ExtensionTableMatchesWholeExtensionsIgnoringCase) {
  EXPECT_EQ(setFileExtensionList("files.txt.jpg"), 2);
  DirList list(skipHiddenEntry);
  ASSERT_EQ(list.scanDirsFirst(listDir_.c_str()), 6);
  std::vector<std::string> listed;
  for (int i = 0; i < list.count(); ++i)
    if (list.entry(i).hasListedExtension()) listed.push_back(list.entryName(i));
  EXPECT_EQ(listed, (std::vector<std::string>{"A.TXT", "b.txt", "c.JPG"}));
  std::vector<std::string> dirOrListed;
  for (int i = 0; i < list.count(); ++i)
    if (list.entry(i).isDirOrListedFile()) dirOrListed.push_back(list.entryName(i));
  EXPECT_EQ(dirOrListed, (std::vector<std::string>{"adir", "zdir", "A.TXT", "b.txt", "c.JPG"}));

  // clear() empties the table.
  list.clear();
  ASSERT_EQ(list.scanDirsFirst(listDir_.c_str()), 6);
  EXPECT_FALSE(list.entry(2).hasListedExtension());
  list.clear();
}

TEST_F(DirListTest, ExtensionListParsing) {
  struct Case {
    const char* text;
    int count;
  };
  const Case cases[] = {
      {"name", 0},       {"name.a", 1},           {"name.a.b c.d", 3},
      {"x.toolongext", 1}, {"", 0},              {nullptr, 0},
  };
  for (const Case& c : cases) EXPECT_EQ(setFileExtensionList(c.text), c.count) << (c.text ? c.text : "(null)");

  std::string many = "n";
  for (int i = 0; i < 40; ++i) many += ".e" + std::to_string(i);
  EXPECT_EQ(setFileExtensionList(many.c_str()), 31);

  // An over-long part keeps its first 7 characters.
  writeFile("ext/file.toolong", "");
  writeFile("ext/file.toolongext", "");
  setFileExtensionList("x.toolongext");
  DirList list(skipHiddenEntry);
  ASSERT_EQ(list.scanDirsFirst(path("ext").c_str()), 2);
  EXPECT_TRUE(list.entry(0).hasListedExtension());   // file.toolong
  EXPECT_FALSE(list.entry(1).hasListedExtension());  // file.toolongext
  list.clear();
}

TEST_F(DirListTest, DeleteEntriesRemovesAllOrOnlyEmptyFiles) {
  writeFile("del/empty1", "");
  writeFile("del/empty2", "");
  writeFile("del/full", "content");
  DirList list(skipHiddenEntry);
  EXPECT_EQ(list.deleteEntries(path("del").c_str(), 1), 3);
  EXPECT_FALSE(std::filesystem::exists(path("del/empty1")));
  EXPECT_FALSE(std::filesystem::exists(path("del/empty2")));
  EXPECT_TRUE(std::filesystem::exists(path("del/full")));
  EXPECT_EQ(list.count(), -1);

  EXPECT_EQ(list.deleteEntries(path("del").c_str(), 0), 1);
  EXPECT_TRUE(std::filesystem::is_empty(path("del")));
  EXPECT_EQ(list.deleteEntries(path("del").c_str(), 0), 0);
}

TEST(DirEntryOrder, FiltersAndOrdersHandleMissingEntries) {
  EXPECT_EQ(skipHiddenEntry(nullptr), 0);
  EXPECT_EQ(dirsFirstAlphaSort(nullptr, nullptr), 0);
  EXPECT_EQ(byDataFileTime(nullptr, nullptr), 0);
  EXPECT_EQ(compareDataFileTimes(nullptr, nullptr), 0);
  EXPECT_EQ(DirEntry(nullptr).name(), nullptr);
  EXPECT_FALSE(DirEntry(nullptr).isDirOrListedFile());
  EXPECT_EQ(globErr("/some/path", 2), 0);
}

// A second thread that scans the same list waits until the holder clears.
TEST_F(DirListTest, OneListIsReadByOneThreadAtATime) {
  writeFile("other/only", "x");
  DirList list(skipHiddenEntry);
  ASSERT_EQ(list.scanDirsFirst(listDir_.c_str()), 6);

  std::atomic<bool> secondScanned{false};
  std::atomic<int> secondCount{-2};
  std::string secondFirstName;
  std::thread second([&] {
    secondCount.store(list.scanDirsFirst(path("other").c_str()));
    secondFirstName = list.entryName(0) ? list.entryName(0) : "";
    secondScanned.store(true);
    list.clear();
  });

  // While held here the entries stay this thread's.
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  EXPECT_FALSE(secondScanned.load());
  EXPECT_EQ(names(list), (std::vector<std::string>{"adir", "zdir", "A.TXT", "b.txt", "c.JPG", "noext"}));
  list.clear();

  second.join();
  EXPECT_EQ(secondCount.load(), 1);
  EXPECT_EQ(secondFirstName, "only");
  EXPECT_EQ(list.count(), -1);
}

// A task waiting for the list keeps serving its messages.
struct WaiterState {
  std::atomic<int> messagesServed{0};
  std::atomic<int> scanned{-1};
  std::atomic<bool> finished{false};
};

class ListWaiter : public Task {
 public:
  ListWaiter(DirList* list, std::string dir, WaiterState* state)
      : Task("ListWaiter"), list_(list), dir_(std::move(dir)), state_(state) {}

 protected:
  void run() override {
    state_->scanned.store(list_->scanDirsFirst(dir_.c_str()));
    list_->clear();
    state_->finished.store(true);
  }
  int onMessage(const TaskMessage& msg) override {
    state_->messagesServed.fetch_add(1);
    return msg.flags & ~MSG_NOTIFY;
  }

 private:
  DirList* list_;
  std::string dir_;
  WaiterState* state_;
};

TEST_F(DirListTest, AWaitingTaskServesItsMessages) {
  WaiterState state;
  DirList list(skipHiddenEntry);
  ASSERT_EQ(list.scanDirsFirst(listDir_.c_str()), 6);
  auto* task = new ListWaiter(&list, listDir_, &state);
  ASSERT_GT(task->start(0), 0);
  // The task deletes itself when its body ends: only the state is read below.
  ASSERT_EQ(task->post(TaskMessage{0, MSG_NOTIFY, 1, 0}), 0);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (state.messagesServed.load() == 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(state.messagesServed.load(), 1);
  EXPECT_FALSE(state.finished.load());
  list.clear();
  while (!state.finished.load() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_TRUE(state.finished.load());
  EXPECT_EQ(state.scanned.load(), 6);
}

}  // namespace
