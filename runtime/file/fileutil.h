// Small file and file-system helpers. Paths are used as given: callers map
// fixed appliance paths with mapPath.
#ifndef RUNTIME_FILE_FILEUTIL_H
#define RUNTIME_FILE_FILEUTIL_H

#include <cstddef>
#include <cstdint>

// -1 when path does not exist, 1 for a directory, else the size in bytes.
// When asked, fills timeText with the time of the last status change
// ("%Y-%m-%d %H:%M", local time) and archiveBit with the FAT archive
// attribute (0/1); a failure to read the attribute prints "fileSize" with
// the error text and leaves archiveBit unset.
int64_t fileSize(const char* path, char* timeText, size_t timeTextSize, int* archiveBit);

// A descriptor of a new file made from "/tmp/temp.XXXXXX" and unlinked at
// once, so it disappears on close; -1 on failure.
int openAnonymousTempFile();

// Reads the last size bytes of the file and moves its last line (with its
// own line end) to the start of buffer, terminated. 0 when the file is
// shorter than size or the last size bytes hold no complete last line.
int readLastLine(int fd, char* buffer, int size);

// Reads the text file line by line to its end, or, when lineCount is 0 or
// more, until both lineCount and minimum lines have been read. Returns the
// number of lines read, -1 when the file cannot be opened.
int skimTextFile(const char* path, int lineCount, int minimum);

// Writes text as the whole file. 1, or 0 (reported with perror(path)).
int writeTextFile(const char* path, const char* text);

// 1 when path is a symbolic link and path and target resolve to the same
// inode.
int isSymlinkTo(const char* path, const char* target);

// Total and free (not only available to unprivileged users) space of the
// file system holding path, in KB. 1, or 0 with both set to 0.
int diskSpaceKb(const char* path, uint64_t* totalKb, uint64_t* freeKb);

// blocks of blockSize bytes in KB, computed in 64-bit bytes.
uint64_t blocksToKb(uint64_t blockSize, uint64_t blocks);

#endif
