// Directory entries as scandir returns them, the scandir filters and
// orders of the directory lists, and the process-wide file extension
// table.
#ifndef RUNTIME_FILE_DIRENTRY_H
#define RUNTIME_FILE_DIRENTRY_H

struct dirent;

// A read-only view of one entry; a view of null answers false throughout.
class DirEntry {
 public:
  explicit DirEntry(const struct dirent* entry) : entry_(entry) {}
  const char* name() const;
  // Not hidden (no '.' first) and of type directory.
  bool isDirectory() const;
  // Not hidden and not a directory.
  bool isFile() const;
  // A file whose text after the last '.' (empty when there is none)
  // equals, without regard to case, an entry of the extension table.
  bool hasListedExtension() const;
  bool isDirOrListedFile() const;

 private:
  bool isHidden() const;
  const struct dirent* entry_;
};

// Fills the extension table from the parts after each '.' of text (a part
// ends at '.', a blank or the end): at most 31 entries of at most 7
// characters. Returns the number of entries.
int setFileExtensionList(const char* text);
// Empties the extension table.
void clearFileExtensionList();

// scandir filter: 1 for a name that does not start with '.', 0 for hidden
// or empty names.
int skipHiddenEntry(const struct dirent* entry);
// scandir order: directories first, then alphasort.
int dirsFirstAlphaSort(const struct dirent** a, const struct dirent** b);
// Seconds between the status-change times of the entries of those names
// under "/mnt/data", the second minus the first (newest first); 0 when
// either cannot be read.
int compareDataFileTimes(const struct dirent* a, const struct dirent* b);
// scandir order by compareDataFileTimes.
int byDataFileTime(const struct dirent** a, const struct dirent** b);

// glob error callback: reports the path and error; 0 so globbing goes on.
int globErr(const char* path, int error);

#endif
