// The archive attribute of files on a FAT medium.
#ifndef RUNTIME_FILE_FATATTR_H
#define RUNTIME_FILE_FATATTR_H

// Reads the archive attribute of an open file into *bit (0/1). 1, or 0
// when the attributes cannot be read (errno tells why).
int readArchiveBit(int fd, int* bit);

// Sets (set 1) or clears (set 0) the archive attribute of an open file;
// when it changes, the attributes are written and sync() follows. 1, or 0
// (printed as "archivBit" with the error text) when reading or writing
// the attributes fails.
int archivBit(int fd, int set);

// archivBit on the file at path, opened for reading and writing.
int setArchiveBitOfFile(const char* path, int set);

#endif
