// Copying files and the CRC-32 of their contents.
#ifndef RUNTIME_FILE_FILECOPY_H
#define RUNTIME_FILE_FILECOPY_H

#include <cstddef>
#include <cstdint>

// The table step of the standard CRC-32 (reflected polynomial 0xEDB88320)
// over length bytes, from crc, without initial or final inversion.
uint32_t crc32Step(uint32_t crc, const void* data, size_t length);

// Copies source to destination in blocks of 4096 bytes. A newly created
// destination gets mode 0644 when the source is readable by others, else
// 0600; an existing destination is truncated and keeps its mode. The
// process file mode mask is left alone. With crc, it is set to 0 and then
// updated with crc32Step over the copied bytes. 1, or 0 on failure.
int copyFile(const char* source, const char* destination, uint32_t* crc);

// The standard CRC-32 (initial and final inversion) of the next length
// bytes of fd, read in chunks of chunkSize bytes through buffer; 0 on a
// short read. The file position is rewound to 0 afterwards.
uint32_t crc32OfFile(int fd, size_t length, size_t chunkSize, unsigned char* buffer);

#endif
